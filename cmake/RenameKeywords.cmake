# The message field "template" is a C++ keyword. The generated C code names
# the struct member template_ instead, so that C++ can include the header;
# the wire format only knows the tag number.
# Usage: cmake -DDIR=<dir> -DNAME=<base name> -P RenameKeywords.cmake
foreach(f ${DIR}/${NAME}.pb.c ${DIR}/${NAME}.pb.h)
  file(READ ${f} text)
  string(REGEX REPLACE "([^A-Za-z0-9_])template([^A-Za-z0-9_])" "\\1template_\\2" text "${text}")
  # Derived macro names follow the member name (RpcRequest_template__MSGTYPE).
  string(REGEX REPLACE "_template_([A-Za-z])" "_template__\\1" text "${text}")
  file(WRITE ${f} "${text}")
endforeach()
