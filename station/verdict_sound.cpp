#include "station/verdict_sound.h"

#include "device/sync/manual_reset_event.h"
#include "resources/sounds/sounds.h"
#include "ui/thread_handoff.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QThread>

#include <algorithm>
#include <mutex>

namespace kestrel::station {

// Lives in the sound thread: the two effects, made and loaded there.
class VerdictSound::Player : public QObject {
 public:
  Player() : handoff_(new ui::ThreadHandoff(this)) {}

  ui::ThreadHandoff& Handoff() { return *handoff_; }

  // Sound thread.
  void Load() {
    pass_ = new QSoundEffect(this);
    fail_ = new QSoundEffect(this);
    pass_->setSource(resources::PassSoundUrl());
    fail_->setSource(resources::FailSoundUrl());
  }

  // Sound thread.
  void Play(Verdict verdict, int volume) {
    QSoundEffect* effect = verdict == Verdict::Pass ? pass_ : fail_;
    const bool device = !QMediaDevices::defaultAudioOutput().isNull();
    if (device) {
      effect->stop();
      effect->setVolume(std::clamp(volume, 0, 100) / 100.0);
      effect->play();
    }
    std::lock_guard<std::mutex> l(lock_);
    last_ = effect->source();
    ++(device ? counts_.played : counts_.silent);
  }

  // Sound thread: whether both effects have loaded.
  bool Ready() const {
    return pass_ != nullptr && pass_->status() == QSoundEffect::Ready &&
           fail_->status() == QSoundEffect::Ready;
  }

  Counts counts() const {
    std::lock_guard<std::mutex> l(lock_);
    return counts_;
  }
  QUrl Last() const {
    std::lock_guard<std::mutex> l(lock_);
    return last_;
  }

 private:
  ui::ThreadHandoff* handoff_;
  QSoundEffect* pass_ = nullptr;
  QSoundEffect* fail_ = nullptr;
  mutable std::mutex lock_;
  Counts counts_;  // guarded by lock_
  QUrl last_;      // guarded by lock_
};

VerdictSound::VerdictSound(std::function<Options()> options)
    : options_(std::move(options)), thread_(new QThread), player_(new Player) {
  thread_->setObjectName(QStringLiteral("verdict sound"));
  player_->moveToThread(thread_);
  QObject::connect(thread_, &QThread::finished, player_, &QObject::deleteLater);
  thread_->start();
  Player* player = player_;
  player_->Handoff().Post([player] { player->Load(); });
}

VerdictSound::~VerdictSound() {
  thread_->quit();
  thread_->wait();
  delete thread_;
}

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
  Player* player = player_;
  player_->Handoff().Post([player, verdict, volume] { player->Play(verdict, volume); });
}

VerdictSound::Counts VerdictSound::counts() const {
  Counts c = player_->counts();
  c.requested = requested_.load();
  return c;
}

QUrl VerdictSound::LastSound() const {
  return player_->Last();
}

bool VerdictSound::SoundsReady(int ms) const {
  // Asked of the sound thread itself, which owns the effects.
  for (int waited = 0;; waited += 20) {
    auto answered = std::make_shared<device::ManualResetEvent>();
    auto ready = std::make_shared<std::atomic<bool>>(false);
    Player* player = player_;
    player_->Handoff().Post([player, answered, ready] {
      ready->store(player->Ready());
      answered->Set();
    });
    if (!answered->Wait(std::max(20, ms - waited))) return false;
    if (ready->load()) return true;
    if (waited >= ms) return false;
    QThread::msleep(20);
  }
}

}  // namespace kestrel::station
