# Writes the page's files into a C++ source, so that the console is one binary.
# cmake -DOUT=web_assets.cpp -DDIR=web -P embed.cmake
set(pairs "kIndexHtml=index.html" "kConsoleJs=console.js" "kConsoleCss=console.css")
set(text "// Generated from host/serve/web by embed.cmake; edit those files instead.\n#include \"web_assets.hpp\"\n\nnamespace host::serve::web {\n")
foreach(pair ${pairs})
  string(REPLACE "=" ";" kv ${pair})
  list(GET kv 0 name)
  list(GET kv 1 file)
  file(READ ${DIR}/${file} content)
  string(APPEND text "const char* const ${name} = R\"~web~(${content})~web~\";\n")
endforeach()
string(APPEND text "}  // namespace host::serve::web\n")
file(WRITE ${OUT}.tmp "${text}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT}.tmp ${OUT})
