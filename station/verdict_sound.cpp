#include "station/verdict_sound.h"

#include "device/sync/manual_reset_event.h"
#include "resources/sounds/sounds.h"
#include "station/sound_thread.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QObject>
#include <QSoundEffect>
#include <QThread>

#include <algorithm>
#include <mutex>

namespace kestrel::station {
namespace {

// The two effects, children of the sound thread's context: made there at the first request of
// the thread (once for the process, unless an application object ended and a new one began) and
// loaded once.
struct Effects {
  QSoundEffect* pass = nullptr;
  QSoundEffect* fail = nullptr;
};

// Sound thread.
Effects EffectsOf(QObject& context) {
  const QString passName = QStringLiteral("pass");
  const QString failName = QStringLiteral("fail");
  Effects e{context.findChild<QSoundEffect*>(passName, Qt::FindDirectChildrenOnly),
            context.findChild<QSoundEffect*>(failName, Qt::FindDirectChildrenOnly)};
  if (e.pass == nullptr) {
    e.pass = new QSoundEffect(&context);
    e.pass->setObjectName(passName);
    e.pass->setSource(resources::PassSoundUrl());
    e.fail = new QSoundEffect(&context);
    e.fail->setObjectName(failName);
    e.fail->setSource(resources::FailSoundUrl());
  }
  return e;
}

}  // namespace

// What the sound thread did with one VerdictSound's requests.
struct VerdictSound::Handled {
  std::mutex lock;
  Counts counts;  // guarded by lock (requested unused)
  QUrl last;      // guarded by lock
};

VerdictSound::VerdictSound(std::function<Options()> options)
    : options_(std::move(options)), handled_(std::make_shared<Handled>()) {
  // The effects start loading now, so that the first verdict plays at once.
  SoundThread::Post([](QObject& context) { EffectsOf(context); });
}

VerdictSound::~VerdictSound() = default;

bool VerdictSound::VerdictOf(JobOutcome outcome, Verdict* verdict) {
  switch (outcome) {
    case JobOutcome::Passed:
      *verdict = Verdict::Pass;
      return true;
    case JobOutcome::Failed:
    case JobOutcome::TimedOut:
      *verdict = Verdict::Fail;
      return true;
    case JobOutcome::Stopped:
    case JobOutcome::Shown:
      break;
  }
  return false;
}

void VerdictSound::JobEnded(const JobSummary& summary) {
  Verdict verdict = Verdict::Pass;
  if (!VerdictOf(summary.outcome, &verdict)) return;
  const Options o = options_ ? options_() : Options{};
  if (!o.enabled) return;
  Play(verdict, o.volume);
}

void VerdictSound::Play(Verdict verdict, int volume) {
  requested_.fetch_add(1);
  std::shared_ptr<Handled> handled = handled_;
  SoundThread::Post([handled, verdict, volume](QObject& context) {
    const Effects effects = EffectsOf(context);
    QSoundEffect* effect = verdict == Verdict::Pass ? effects.pass : effects.fail;
    const bool device = !QMediaDevices::defaultAudioOutput().isNull();
    if (device) {
      effect->stop();
      effect->setVolume(std::clamp(volume, 0, 100) / 100.0);
      effect->play();
    }
    std::lock_guard<std::mutex> l(handled->lock);
    handled->last = effect->source();
    ++(device ? handled->counts.played : handled->counts.silent);
  });
}

VerdictSound::Counts VerdictSound::counts() const {
  Counts c;
  {
    std::lock_guard<std::mutex> l(handled_->lock);
    c = handled_->counts;
  }
  c.requested = requested_.load();
  return c;
}

QUrl VerdictSound::LastSound() const {
  std::lock_guard<std::mutex> l(handled_->lock);
  return handled_->last;
}

bool VerdictSound::SoundsReady(int ms) const {
  // Asked of the sound thread itself, which owns the effects.
  for (int waited = 0;; waited += 20) {
    auto answered = std::make_shared<device::ManualResetEvent>();
    auto ready = std::make_shared<std::atomic<bool>>(false);
    const bool posted = SoundThread::Post([answered, ready](QObject& context) {
      const Effects e = EffectsOf(context);
      ready->store(e.pass->status() == QSoundEffect::Ready &&
                   e.fail->status() == QSoundEffect::Ready);
      answered->Set();
    });
    if (!posted || !answered->Wait(std::max(20, ms - waited))) return false;
    if (ready->load()) return true;
    if (waited >= ms) return false;
    QThread::msleep(20);
  }
}

}  // namespace kestrel::station
