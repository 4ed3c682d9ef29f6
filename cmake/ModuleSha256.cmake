# cmake -DMODULE=file.exe -DOUT=header.h -P ModuleSha256.cmake
# Writes the module's SHA-256 as the STIRPELLO_MODULE_SHA256 define; an
# unchanged digest leaves the header untouched, so nothing recompiles.
file(SHA256 "${MODULE}" digest)
file(CONFIGURE OUTPUT "${OUT}" CONTENT "#define STIRPELLO_MODULE_SHA256 \"${digest}\"\n")
