// Standard input as lines, and SIGINT or SIGTERM as the request to stop, waited for together by
// a foreground tool. One implementation per platform.
#pragma once

#include <memory>
#include <string>

namespace voxtrel::tools {

class Console {
  public:
    enum class Event {
        kLine,
        kEndOfInput,  // reported once; afterwards only a stop ends the wait
        kStop,
    };

    // Takes over SIGINT and SIGTERM for the process's lifetime; null when that fails.
    static std::unique_ptr<Console> Open();
    virtual ~Console() = default;

    // The next line without its line end, the end of input, or a stop signal.
    virtual Event Next(std::string& line) = 0;
};

}  // namespace voxtrel::tools
