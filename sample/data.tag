[TagInfo]
ProjectGUID=6F2A1C3E-58B4-4D7A-9E21-3C0B7D5A9F10
ProductName=Sample Product
