// Peak memory of one operation against its input size. The world is built
// once; every case then runs in a child process of its own: the child runs
// the operation once on 1 KiB, makes its inputs, resets the kernel's
// peak-RSS mark (writing 5 to /proc/self/clear_refs), runs the operation
// once and reports how far the peak rose above the resident size it
// started from. malloc is told to
// serve every block above 128 KiB with a fresh mapping, so memory an
// operation allocates shows up in the resident size instead of reusing
// pages freed earlier.
//
//   ce_bench_memory OUTPUT.json
#include "bench/world.h"

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bench::World;
using Buffer = std::vector<std::uint8_t>;

// A field of /proc/self/status in bytes (VmHWM, VmRSS).
long long StatusBytes(const char *field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line[n] == ':')
      return std::stoll(line.substr(n + 1)) * 1024;
  return -1;
}

bool ResetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

Buffer Filled(std::size_t n) {
  Buffer b(n);
  std::mt19937 rng(7);
  for (auto &x : b)
    x = static_cast<std::uint8_t>(rng());
  return b;
}

struct Case {
  std::string name;
  std::size_t size;
  // Prepares the inputs and returns the operation (run once, measured).
  std::function<std::function<int()>(World &, std::size_t)> prepare;
};

// Runs one case in a child; returns its JSON object, or an error object.
std::string RunCase(const Case &c) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0)
    return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    std::ostringstream out;
    try {
      World &w = World::Get();
      // A first run on 1 KiB maps into this process the library code and
      // read-only tables the operation touches (after fork they are shared
      // with the parent but not yet in this process's page tables, and
      // would count in its resident size though they take no memory).
      c.prepare(w, 1024)();
      auto op = c.prepare(w, c.size);
      const long long before = StatusBytes("VmRSS");
      const bool reset = ResetPeak();
      const int rc = op();
      const long long peak = StatusBytes("VmHWM");
      out << "{\"name\": \"" << c.name << "\", \"input_bytes\": " << c.size
          << ", \"result\": " << rc << ", \"rss_before\": " << before << ", \"peak_rss\": " << peak
          << ", \"extra_peak_bytes\": " << (peak - before)
          << ", \"peak_reset\": " << (reset ? "true" : "false") << "}";
    } catch (const std::exception &e) {
      out << "{\"name\": \"" << c.name << "\", \"input_bytes\": " << c.size << ", \"error\": \""
          << e.what() << "\"}";
    }
    const std::string text = out.str();
    if (write(pipeFds[1], text.data(), text.size()) < 0)
      _exit(2);
    _exit(0); // the parent owns the world and removes it
  }
  close(pipeFds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t r; (r = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(r));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const std::vector<std::size_t> sizes = {1024, 1 << 20, 16 << 20, 64 << 20};
  // What the measurement itself shows when the operation does nothing.
  cases.push_back({"none (the method's own floor)", 0,
                   [](World &, std::size_t) { return std::function<int()>([] { return 0; }); }});
  for (std::size_t n : sizes) {
    cases.push_back({"module/EncodeData", n, [](World &w, std::size_t size) {
                       auto data = std::make_shared<Buffer>(Filled(size + 85));
                       return std::function<int()>([&w, data, size] {
                         int32_t s = static_cast<int32_t>(size);
                         return w.Api().EncodeData(w.SenderSession().Handle(), data->data(), &s,
                                                   w.Recipient().number.c_str());
                       });
                     }});
    cases.push_back({"module/DecodeData", n, [](World &w, std::size_t size) {
                       auto data = std::make_shared<Buffer>(Filled(size + 85));
                       int32_t s = static_cast<int32_t>(size);
                       w.Api().EncodeData(w.SenderSession().Handle(), data->data(), &s,
                                          w.Recipient().number.c_str());
                       return std::function<int()>([&w, data, s]() mutable {
                         char sender[64] = {};
                         return w.Api().DecodeData(w.RecipientSession().Handle(), data->data(), &s,
                                                   sender);
                       });
                     }});
    cases.push_back({"provider/EnCryptMem", n, [](World &w, std::size_t size) {
                       auto in = std::make_shared<Buffer>(Filled(size));
                       auto out = std::make_shared<Buffer>(Filled(size + 85));
                       auto &p = w.Direct();
                       p.CryptoInit("", w.Sender().publicDir.string().c_str());
                       auto list = w.RecipientNumbers(1);
                       return std::function<int()>([&p, in, out, list, size] {
                         return p.EnCryptMem(in->data(), static_cast<int32_t>(size), out->data(), 1,
                                             list.data(), "");
                       });
                     }});
    cases.push_back({"provider/DeCryptMem", n, [](World &w, std::size_t size) {
                       auto data = std::make_shared<Buffer>(Filled(size + 85));
                       int32_t s = static_cast<int32_t>(size);
                       w.Api().EncodeData(w.SenderSession().Handle(), data->data(), &s,
                                          w.Recipient().number.c_str());
                       auto &p = w.Direct();
                       p.CryptoInit("", w.Recipient().publicDir.string().c_str());
                       return std::function<int()>(
                           [&p, data, s]() mutable { return p.DeCryptMem(data->data(), &s, 2); });
                     }});
    cases.push_back({"module/SignData", n, [](World &w, std::size_t size) {
                       auto data = std::make_shared<Buffer>(Filled(size));
                       auto sig = std::make_shared<Buffer>(Filled(512));
                       return std::function<int()>([&w, data, sig, size] {
                         int32_t length = 0;
                         return w.Api().SignData(w.SenderSession().Handle(), data->data(),
                                                 static_cast<int32_t>(size), sig->data(), &length,
                                                 nullptr);
                       });
                     }});
    cases.push_back({"module/AddSign", n, [](World &w, std::size_t size) {
                       auto data = std::make_shared<Buffer>(Filled(size + 512));
                       return std::function<int()>([&w, data, size] {
                         int32_t s = static_cast<int32_t>(size);
                         return w.Api().AddSign(w.SenderSession().Handle(), data->data(), &s,
                                                nullptr);
                       });
                     }});
  }
  return cases;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ce_bench_memory OUTPUT.json\n");
    return 2;
  }
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  try {
    World &w = World::Get();
    // Warm up every kind of operation once in the parent (libraries loaded,
    // keys cached, directories read, lazily built tables made), so that a
    // child measures the operation and not first-use costs.
    auto warm = Buffer(1024 + 85 + 512);
    int32_t s = 1024;
    bench::Check(w.SenderSession(),
                 w.Api().EncodeData(w.SenderSession().Handle(), warm.data(), &s,
                                    w.Recipient().number.c_str()),
                 "EncodeData");
    char sender[64] = {};
    bench::Check(w.RecipientSession(),
                 w.Api().DecodeData(w.RecipientSession().Handle(), warm.data(), &s, sender),
                 "DecodeData");
    Buffer signature(512);
    int32_t length = 0;
    bench::Check(w.SenderSession(),
                 w.Api().SignData(w.SenderSession().Handle(), warm.data(), s, signature.data(),
                                  &length, nullptr),
                 "SignData");
    bench::Check(w.SenderSession(),
                 w.Api().AddSign(w.SenderSession().Handle(), warm.data(), &s, nullptr), "AddSign");
  } catch (const std::exception &e) {
    std::fprintf(stderr, "ce_bench_memory: %s\n", e.what());
    return 1;
  }
  std::ofstream out(argv[1]);
  out << "[\n";
  bool first = true;
  for (const Case &c : Cases()) {
    const std::string line = RunCase(c);
    std::printf("%s\n", line.c_str());
    out << (first ? "  " : ",\n  ") << line;
    first = false;
  }
  out << "\n]\n";
  return 0;
}
