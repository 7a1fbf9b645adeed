// A long library call (card entry waits up to 30 s) runs on a worker thread
// while the calling thread redraws "label  N s" on a terminal.
#pragma once

#include <functional>
#include <ostream>
#include <string>

namespace idcctl {

// Runs `work`; with `draw` set, on a worker thread with the elapsed-seconds
// line on `err`, erased when the work is done. Without it, simply calls it.
void RunWithProgress(const std::string& label, bool draw, std::ostream& err,
                     const std::function<void()>& work);

} // namespace idcctl
