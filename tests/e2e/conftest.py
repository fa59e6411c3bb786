pytest_plugins = ["wine"]  # its hooks and fixtures
