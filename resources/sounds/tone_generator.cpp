// Makes the station's two verdict sounds at build time: pass.wav, two short rising tones, and
// fail.wav, three low buzzes; 44.1 kHz, 16-bit mono PCM.
//
// usage: kestrel-tone-gen OUTPUT_FOLDER
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr double kPi = 3.14159265358979323846;

struct Tone {
  double hz;
  double seconds;
  int harmonics;  // odd harmonics added (a buzz), 0 for a pure tone
  double pause;   // silence after it, s
};

// A tone with a short attack and release, so that it neither clicks nor thumps.
void Append(std::vector<std::int16_t>* samples, const Tone& t, double level) {
  const int n = static_cast<int>(t.seconds * kRate);
  const int ramp = static_cast<int>(0.008 * kRate);
  for (int i = 0; i < n; ++i) {
    const double x = 2 * kPi * t.hz * i / kRate;
    double v = std::sin(x);
    for (int h = 1; h <= t.harmonics; ++h) v += std::sin((2 * h + 1) * x) / (2 * h + 1);
    if (t.harmonics > 0) v *= 0.7;
    double envelope = 1.0;
    if (i < ramp) envelope = static_cast<double>(i) / ramp;
    if (n - i < ramp) envelope = static_cast<double>(n - i) / ramp;
    samples->push_back(static_cast<std::int16_t>(std::lround(32767 * level * envelope * v)));
  }
  samples->insert(samples->end(), static_cast<std::size_t>(t.pause * kRate), 0);
}

void Put16(std::FILE* f, std::uint16_t v) {
  const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  std::fwrite(b, 1, 2, f);
}

void Put32(std::FILE* f, std::uint32_t v) {
  Put16(f, static_cast<std::uint16_t>(v));
  Put16(f, static_cast<std::uint16_t>(v >> 16));
}

bool WriteWav(const std::string& path, const std::vector<std::int16_t>& samples) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const std::uint32_t bytes = static_cast<std::uint32_t>(samples.size() * 2);
  std::fwrite("RIFF", 1, 4, f);
  Put32(f, 36 + bytes);
  std::fwrite("WAVEfmt ", 1, 8, f);
  Put32(f, 16);
  Put16(f, 1);  // PCM
  Put16(f, 1);  // mono
  Put32(f, kRate);
  Put32(f, kRate * 2);
  Put16(f, 2);
  Put16(f, 16);
  std::fwrite("data", 1, 4, f);
  Put32(f, bytes);
  for (const std::int16_t s : samples) Put16(f, static_cast<std::uint16_t>(s));
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kestrel-tone-gen OUTPUT_FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  std::vector<std::int16_t> pass;
  Append(&pass, {1046.5, 0.09, 0, 0.02}, 0.5);
  Append(&pass, {1568.0, 0.16, 0, 0.0}, 0.5);
  std::vector<std::int16_t> fail;
  for (int i = 0; i < 3; ++i) Append(&fail, {220.0, 0.15, 4, i < 2 ? 0.06 : 0.0}, 0.45);
  if (!WriteWav(folder + "/pass.wav", pass) || !WriteWav(folder + "/fail.wav", fail)) {
    std::fprintf(stderr, "kestrel-tone-gen: cannot write into %s\n", folder.c_str());
    return 1;
  }
  return 0;
}
