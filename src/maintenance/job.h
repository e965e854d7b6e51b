// What every maintenance job (purge, conversion) takes from the engine besides
// the disk: a way to show the operator how far it got, and a way to be told to
// stop. A job calls both on the thread it runs on (a pool thread); whoever
// supplies them makes them safe for that.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace rk::maintenance {

// Where a job stands. The window words each step in its own language; the
// command line shows `text`.
enum class Step { searching, unpacking, extracting, deleting, finished, failed, stopped };

// One status line for the operator.
struct Progress {
    Step step = Step::searching;
    std::string subject;    // the container, file or folder the step is at; may be empty
    std::string text;       // the line in English
    std::size_t done = 0;   // items finished so far
    std::size_t total = 0;  // 0 while the total is not known
};

struct JobControl {
    std::function<void(const Progress&)> progress;
    // Polled between items; true ends the job early, leaving the disk in a
    // state a later run continues from.
    std::function<bool()> stop_requested;

    void report(Step step, std::string text, std::string subject = {}, std::size_t done = 0,
                std::size_t total = 0) const {
        if (progress) progress(Progress{step, std::move(subject), std::move(text), done, total});
    }
    bool stopping() const { return stop_requested && stop_requested(); }
};

}  // namespace rk::maintenance
