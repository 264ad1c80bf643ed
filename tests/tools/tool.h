// The programs as separate processes: started with their output in files,
// waited for with a deadline of the test's own, and their --json documents
// read back.
#pragma once

#include <nlohmann/json.hpp>

#include "files.h"
#include "process.h"
#include "wait.h"

namespace orv_test {

struct Output {
    int status = -1;  // exit code, 128 + the signal that ended it, -1 still running
    std::string out, err;
};

// One run of `program`; killed if a test leaves it running.
class Tool {
  public:
    Tool(const char *program, std::vector<std::string> args)
        : out_("/opt/run" + std::to_string(++runs_) + ".out"), child_([&, parent = ::getpid()] {
              std::vector<char *> argv{const_cast<char *>(program)};
              for (std::string &arg : args) argv.push_back(arg.data());
              argv.push_back(nullptr);
              ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test killed on a time-out takes it along
              int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
              int err = ::open((out_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
              if (out >= 0 && err >= 0 && ::dup2(out, 1) >= 0 && ::dup2(err, 2) >= 0 &&
                  ::getppid() == parent)
                  ::execv(program, argv.data());
              return 127;
          }) {}
    void signal(int signo) const { ::kill(child_.pid(), signo); }

    // Waits for the end; a run that has not ended within `limit` is killed
    // and says status -1.
    Output finish(std::chrono::milliseconds limit = kPatience) {
        int status = 0;
        bool ended =
            eventually([&] { return ::waitpid(child_.pid(), &status, WNOHANG) == child_.pid(); },
                       limit, std::chrono::milliseconds(2));
        if (ended) child_.markReaped();
        return {!ended              ? -1
                : WIFEXITED(status) ? WEXITSTATUS(status)
                                    : 128 + WTERMSIG(status),
                readFile(out_), readFile(out_ + ".err")};
    }

  private:
    static inline int runs_ = 0;
    std::string out_;
    Child child_;
};

inline Output run(const char *program, const std::vector<std::string> &args) {
    return Tool(program, args).finish();
}

// The bytes a JSON byte string carries: a string its UTF-8, {"hex": ...} the
// bytes its hex digits give.
inline std::string carried(const nlohmann::json &j) {
    if (j.is_string()) return j.get<std::string>();
    std::string hex = j.at("hex").get<std::string>(), bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

}  // namespace orv_test
