# Writes OUTPUT, a C++ file that holds the files FILES (names relative to
# BASE) as byte arrays in kr::collector::kWebAssets, each served at "/NAME".
# Run as: cmake -DBASE=... -DFILES="a;b" -DOUTPUT=... -P embed_files.cmake
set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ "${BASE}/${name}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
         bytes "${bytes}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.svg$")
    set(type "image/svg+xml")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND arrays "const unsigned char asset${index}[] = {\n${bytes}};\n")
  string(APPEND table "    {\"/${name}\", \"${type}\", asset${index}, sizeof asset${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Made at build time by cmake/embed_files.cmake: do not edit.\n"
  "#include \"operations/web_assets.h\"\n\nnamespace kr::collector {\n\nnamespace {\n${arrays}}  // namespace\n\n"
  "const WebAsset kWebAssets[] = {\n${table}};\nconst std::size_t kWebAssetCount = ${index};\n\n"
  "}  // namespace kr::collector\n")
# Rewritten only when different, so an unchanged page rebuilds nothing.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
