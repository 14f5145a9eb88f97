// Worker processes of a batch on Windows: there are none, a batch runs in
// one process (workers_posix.cpp forks them elsewhere).
#include "host/batch.h"

namespace cehost {

bool RunWorkers(const std::vector<std::string> &, unsigned, const WorkerBody &,
                const ReportFile &) {
  return false;
}

} // namespace cehost
