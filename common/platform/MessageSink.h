#pragma once

#include <QString>

#include <functional>

// Where a library's words for the operator go. Libraries never print: the
// window shows them, the command line writes them to standard error, tests
// collect them. An empty sink drops them.
using MessageSink = std::function<void(const QString& text)>;
