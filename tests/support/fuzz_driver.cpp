// Runs a libFuzzer-style target without libFuzzer: the files and folders given on the command
// line as seeds, then a bounded number of random mutations of them. Used by the ordinary
// build so that every fuzz target also runs as a short test.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::vector<std::string> seeds;
  long runs = 20000;
  double seconds = 20.0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("-runs=", 0) == 0) {
      runs = std::strtol(a.c_str() + 6, nullptr, 10);
    } else if (a.rfind("-max_total_time=", 0) == 0) {
      seconds = std::strtod(a.c_str() + 16, nullptr);
    } else {
      const QFileInfo info(QString::fromLocal8Bit(argv[i]));
      QStringList files;
      if (info.isDir()) {
        for (const QFileInfo& f : QDir(info.filePath()).entryInfoList(QDir::Files)) {
          files << f.filePath();
        }
      } else {
        files << info.filePath();
      }
      for (const QString& f : files) {
        QFile file(f);
        if (file.open(QIODevice::ReadOnly)) seeds.push_back(file.readAll().toStdString());
      }
    }
  }
  if (seeds.empty()) seeds.emplace_back();
  for (const std::string& s : seeds) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  }
  std::mt19937 rng(12345);
  const auto start = std::chrono::steady_clock::now();
  long done = 0;
  for (; done < runs; ++done) {
    if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds)
      break;
    std::string input = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      const unsigned kind = rng() % 4;
      if (kind == 0 && !input.empty()) {
        input[rng() % input.size()] = static_cast<char>(rng());
      } else if (kind == 1) {
        input.insert(input.begin() + static_cast<long>(input.empty() ? 0 : rng() % input.size()),
                     static_cast<char>(rng()));
      } else if (kind == 2 && !input.empty()) {
        input.erase(rng() % input.size(), 1 + rng() % 4);
      } else if (!input.empty()) {
        const std::size_t from = rng() % input.size();
        input.append(input.substr(from, rng() % 32));
      }
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
  std::printf("fuzz: %zu seeds, %ld mutated inputs, no crash\n", seeds.size(), done);
  return 0;
}
