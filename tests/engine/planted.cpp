/* The DLL that the Wine tests plant beside launcher.exe under the names of system DLLs: it only
** has to load, and Wine's loaddll trace tells which process loaded it. The runtime's DllMain,
** which lets any DLL load, is all it needs. */
