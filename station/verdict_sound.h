// VerdictSound: a short pass sound and a clearly different fail sound on every verdict the
// result label shows (a job that ends passed, failed or timed out; a stopped job and one shown
// without a verdict are silent). [OPERATOR] Sound=0 silences it; SoundVolume sets the volume.
//
// The sounds play through Qt Multimedia's QSoundEffect on the process's sound thread
// (station/sound_thread.h), where both effects are made once and live as long as the process:
// the window thread only hands the request over, so neither loading a sound nor the audio system
// ever holds it up, and a station closed and opened again plays on the same effects. With no
// audio device a request is left silent, without a message.
#pragma once

#include "station/job_observer.h"

#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>

namespace kestrel::station {

enum class Verdict { Pass, Fail };

class VerdictSound final : public JobObserver {
 public:
  struct Options {
    bool enabled = true;
    int volume = 100;  // 0..100
  };
  // `options` is asked on the window thread at each job's end (the settings may change).
  explicit VerdictSound(std::function<Options()> options);
  ~VerdictSound() override;
  VerdictSound(const VerdictSound&) = delete;
  VerdictSound& operator=(const VerdictSound&) = delete;

  void JobStarted(JobKind, int, const QDateTime&) override {}
  void StepFinished(const JobStep&) override {}
  // Window thread: the verdict's sound, when the job ended with one and sounds are on.
  void JobEnded(const JobSummary& summary) override;

  // Any thread: hands the verdict's sound to the sound thread.
  void Play(Verdict verdict, int volume);

  // What the sound thread has done with this object's requests so far.
  struct Counts {
    int requested = 0;  // handed over
    int played = 0;     // started on an audio device
    int silent = 0;     // no audio device
  };
  Counts counts() const;
  // The sound of this object's last request the sound thread handled (empty before the first).
  QUrl LastSound() const;
  // The sound thread: both sounds loaded and ready to play (blocks up to `ms` for the loading).
  bool SoundsReady(int ms) const;

  // The verdict a job's end gives, if any.
  static bool VerdictOf(JobOutcome outcome, Verdict* verdict);

 private:
  struct Handled;

  std::function<Options()> options_;
  std::shared_ptr<Handled> handled_;  // shared with the requests on the sound thread
  std::atomic<int> requested_{0};
};

}  // namespace kestrel::station
