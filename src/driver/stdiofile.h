// A stdio stream that is closed when it goes out of scope.
#pragma once

#include <cstdio>
#include <memory>

namespace updater {

struct StdioFileCloser {
    void operator()(FILE* stream) const { fclose(stream); }
};
using StdioFile = std::unique_ptr<FILE, StdioFileCloser>;

} // namespace updater
