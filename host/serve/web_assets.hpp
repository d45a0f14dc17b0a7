#pragma once
// The page, its script and its style sheet (host/serve/web), built in.
namespace host::serve::web {
extern const char* const kIndexHtml;
extern const char* const kConsoleJs;
extern const char* const kConsoleCss;
}  // namespace host::serve::web
