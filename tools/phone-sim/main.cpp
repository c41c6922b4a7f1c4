// kestrel-phone-sim: a phone on the far side of a pseudo-terminal, for tests, the demo and
// operator training. See usage() below and device/oxbind/PROTOCOL.md.
#include "device/oxbind/wire_protocol.h"
#include "tools/phone-sim/sim_device.h"
#include "tools/phone-sim/station_record_presets.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>

namespace wire = kestrel::device::oxbind::wire;
using kestrel::tools::phonesim::Faults;
using kestrel::tools::phonesim::HasFaultArgument;
using kestrel::tools::phonesim::SimDevice;

namespace {

const char kUsage[] =
    "usage: kestrel-phone-sim --ports DIR --com N --state FILE [--log FILE]\n"
    "  [--no-answer] [--fail KV_NAME=CODE]... [--fail-when KV_NAME:ARG=CODE]...\n"
    "  [--protected] [--delay-ms N] [--corrupt-rate P] [--drop-after-bytes N]\n"
    "  [--lowercase-addresses] [--stale-nv] [--sn-no-nul]\n"
    "  [--appear-after-ms N] [--appear-on-mode] [--at-reply COMMAND=REPLY]...\n"
    "  [--station-passed NAME]... [--station-failed NAME]... [--record-bad-magic]\n"
    "  [--record-unreadable] [--seed N] [--exit-with-parent]\n";

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 's';
  [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Options {
  QString ports;
  int com = 0;
  QString state;
  QString log;
  Faults faults;
  QMap<QString, QString> atReplies;
  StationRecordPresets presets;
  unsigned seed = 0;
  bool seeded = false;
  bool exitWithParent = false;
};

bool ParseInt(const QString& s, long long lo, long long hi, long long* out) {
  bool ok = false;
  const long long v = s.toLongLong(&ok);
  if (!ok || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// False with a message on a bad command line.
bool Parse(const QStringList& args, Options* o, QString* error) {
  for (int i = 0; i < args.size(); ++i) {
    const QString a = args[i];
    auto value = [&](QString* v) {
      if (i + 1 >= args.size()) {
        *error = a + QStringLiteral(" needs a value");
        return false;
      }
      *v = args[++i];
      return true;
    };
    QString v;
    long long n = 0;
    if (a == QLatin1String("--ports")) {
      if (!value(&o->ports)) return false;
    } else if (a == QLatin1String("--com")) {
      if (!value(&v) || !ParseInt(v, 1, 999, &n)) {
        *error = QStringLiteral("--com takes a number 1..999");
        return false;
      }
      o->com = static_cast<int>(n);
    } else if (a == QLatin1String("--state")) {
      if (!value(&o->state)) return false;
    } else if (a == QLatin1String("--log")) {
      if (!value(&o->log)) return false;
    } else if (a == QLatin1String("--no-answer")) {
      o->faults.noAnswer = true;
    } else if (a == QLatin1String("--fail")) {
      if (!value(&v)) return false;
      const qsizetype eq = v.indexOf(QLatin1Char('='));
      const int command = eq > 0 ? wire::CommandForName(v.left(eq).toStdString()) : -1;
      if (command < 0 || !ParseInt(v.mid(eq + 1), INT32_MIN, INT32_MAX, &n)) {
        *error = QStringLiteral("--fail takes KV_NAME=CODE with a call of the library: ") + v;
        return false;
      }
      o->faults.fail[static_cast<uint16_t>(command)] = static_cast<int32_t>(n);
    } else if (a == QLatin1String("--fail-when")) {
      // The argument may hold '=' and ':' (an AT command): the name ends at the first ':',
      // the code starts after the last '='.
      if (!value(&v)) return false;
      const qsizetype colon = v.indexOf(QLatin1Char(':'));
      const qsizetype eq = v.lastIndexOf(QLatin1Char('='));
      const int command = colon > 0 ? wire::CommandForName(v.left(colon).toStdString()) : -1;
      if (command < 0 || eq < colon || !HasFaultArgument(static_cast<uint16_t>(command)) ||
          !ParseInt(v.mid(eq + 1), INT32_MIN, INT32_MAX, &n)) {
        *error = QStringLiteral(
                     "--fail-when takes KV_NAME:ARG=CODE with a secure-boot, AT command or "
                     "serial-number call: ") +
                 v;
        return false;
      }
      o->faults.failWhen[{static_cast<uint16_t>(command), v.mid(colon + 1, eq - colon - 1)}] =
          static_cast<int32_t>(n);
    } else if (a == QLatin1String("--protected")) {
      o->faults.protectedImei = true;
    } else if (a == QLatin1String("--delay-ms")) {
      if (!value(&v) || !ParseInt(v, 0, 600000, &n)) {
        *error = QStringLiteral("--delay-ms takes milliseconds");
        return false;
      }
      o->faults.delayMs = static_cast<int>(n);
    } else if (a == QLatin1String("--corrupt-rate")) {
      bool ok = false;
      if (!value(&v)) return false;
      o->faults.corruptRate = v.toDouble(&ok);
      if (!ok || o->faults.corruptRate < 0 || o->faults.corruptRate > 1) {
        *error = QStringLiteral("--corrupt-rate takes a probability 0..1");
        return false;
      }
    } else if (a == QLatin1String("--drop-after-bytes")) {
      if (!value(&v) || !ParseInt(v, 0, INT64_MAX, &n)) {
        *error = QStringLiteral("--drop-after-bytes takes a byte count");
        return false;
      }
      o->faults.dropAfterBytes = n;
    } else if (a == QLatin1String("--lowercase-addresses")) {
      o->faults.lowercaseAddresses = true;
    } else if (a == QLatin1String("--stale-nv")) {
      o->faults.staleNv = true;
    } else if (a == QLatin1String("--sn-no-nul")) {
      o->faults.snNoNul = true;
    } else if (a == QLatin1String("--appear-after-ms")) {
      if (!value(&v) || !ParseInt(v, 0, 3600000, &n)) {
        *error = QStringLiteral("--appear-after-ms takes milliseconds");
        return false;
      }
      o->faults.appearAfterMs = static_cast<int>(n);
    } else if (a == QLatin1String("--appear-on-mode")) {
      o->faults.appearOnMode = true;
    } else if (a == QLatin1String("--at-reply")) {
      if (!value(&v)) return false;
      const qsizetype eq = v.indexOf(QLatin1Char('='));
      if (eq <= 0) {
        *error = QStringLiteral("--at-reply takes COMMAND=REPLY");
        return false;
      }
      // The first '=' after the command's own "AT+X=" part would be ambiguous: the command
      // ends at the last '=' that is followed by the reply, so split at the first "=" that
      // comes after a closing quote or, without quotes, at the last '='.
      qsizetype split = v.lastIndexOf(QLatin1Char('='));
      const qsizetype quote = v.lastIndexOf(QLatin1Char('"'));
      if (quote >= 0) {
        const qsizetype after = v.indexOf(QLatin1Char('='), quote);
        if (after > 0) split = after;
      }
      o->atReplies.insert(v.left(split), v.mid(split + 1));
    } else if (a == QLatin1String("--station-passed")) {
      if (!value(&v)) return false;
      o->presets.passed << v;
    } else if (a == QLatin1String("--station-failed")) {
      if (!value(&v)) return false;
      o->presets.failed << v;
    } else if (a == QLatin1String("--record-bad-magic")) {
      o->presets.badMagic = true;
    } else if (a == QLatin1String("--record-unreadable")) {
      o->presets.unreadable = true;
    } else if (a == QLatin1String("--exit-with-parent")) {
      o->exitWithParent = true;
    } else if (a == QLatin1String("--seed")) {
      if (!value(&v) || !ParseInt(v, 0, UINT32_MAX, &n)) {
        *error = QStringLiteral("--seed takes a number");
        return false;
      }
      o->seed = static_cast<unsigned>(n);
      o->seeded = true;
    } else {
      *error = QStringLiteral("unknown option ") + a;
      return false;
    }
  }
  if (o->ports.isEmpty() || o->com == 0 || o->state.isEmpty()) {
    *error = QStringLiteral("--ports, --com and --state are required");
    return false;
  }
  o->faults.recordUnreadable = o->presets.unreadable;
  return true;
}

// The pseudo-terminal: the master side is ours, the slave side is the phone's port. A
// slave descriptor stays open here, so the line stays up while no station has it open.
struct Pty {
  int master = -1;
  int slave = -1;
  QString device;

  bool Open() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return false;
    const char* name = ::ptsname(master);
    if (!name) return false;
    device = QString::fromLocal8Bit(name);
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return false;
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
  }
  void Close() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = slave = -1;
  }
};

// COM<n> in the port map, pointing at our device; replaced atomically if a stale one is there.
class PortLink {
 public:
  PortLink(QString folder, int com, QString device)
      : folder_(std::move(folder)), com_(com), device_(std::move(device)) {}
  bool Create() {
    QDir().mkpath(folder_);
    RemoveOtherCase();
    const QString tmp = QStringLiteral("%1/.COM%2.%3").arg(folder_).arg(com_).arg(::getpid());
    QFile::remove(tmp);
    if (::symlink(QFile::encodeName(device_).constData(), QFile::encodeName(tmp).constData()) != 0)
      return false;
    if (::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(path()).constData()) != 0) {
      QFile::remove(tmp);
      return false;
    }
    created_ = true;
    return true;
  }
  // Removes the link only while it is still ours (a newer phone may have taken the number).
  void Remove() {
    if (!created_) return;
    created_ = false;
    if (QFileInfo(path()).symLinkTarget() == device_) QFile::remove(path());
  }
  bool created() const { return created_; }
  QString path() const { return QStringLiteral("%1/COM%2").arg(folder_).arg(com_); }

 private:
  // "com3" and "COM3" would both be port 3; the newest phone wins the number.
  void RemoveOtherCase() {
    const QString mine = QStringLiteral("COM%1").arg(com_);
    for (const QString& name : QDir(folder_).entryList(QDir::AllEntries | QDir::System)) {
      if (name != mine && name.compare(mine, Qt::CaseInsensitive) == 0)
        QFile::remove(folder_ + QLatin1Char('/') + name);
    }
  }
  QString folder_;
  int com_;
  QString device_;
  bool created_ = false;
};

struct PendingReply {
  int64_t due;
  std::vector<uint8_t> bytes;
};

}  // namespace

int main(int argc, char** argv) {
  QStringList args;
  for (int i = 1; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options o;
  QString error;
  if (!Parse(args, &o, &error)) {
    std::fprintf(stderr, "kestrel-phone-sim: %s\n%s", qPrintable(error), kUsage);
    return 2;
  }

  SimDevice device(o.state, o.log, o.faults, o.atReplies);
  if (!device.Load(&error)) {
    std::fprintf(stderr, "kestrel-phone-sim: %s\n", qPrintable(error));
    return 1;
  }
  if (HasStationRecordPreset(o.presets)) {
    device.ReplaceStationRecord(BuildPresetStationRecord(o.presets));
  }
  device.Save();

  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  const pid_t parent = ::getppid();
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  // A test that crashes cannot stop its simulator: with --exit-with-parent the simulator
  // ends (cleanly, through SIGTERM) when the process that started it goes.
  if (o.exitWithParent) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) return 0;
  }

  Pty pty;
  if (!pty.Open()) {
    std::fprintf(stderr, "kestrel-phone-sim: cannot open a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return 1;
  }
  const QString folder = QDir(o.ports).absolutePath();
  PortLink link(folder, o.com, pty.device);
  const QString marker = folder + QStringLiteral("/.mode-wait");

  const int64_t start = NowMs();
  auto linkNow = [&]() {
    if (!link.Create()) {
      std::fprintf(stderr, "kestrel-phone-sim: cannot link %s\n", qPrintable(link.path()));
      return false;
    }
    std::printf("ready COM%d %s\n", o.com, qPrintable(pty.device));
    std::fflush(stdout);
    return true;
  };
  const bool waitToAppear = o.faults.appearAfterMs >= 0 || o.faults.appearOnMode;
  int exitCode = 0;
  if (!waitToAppear && !linkNow()) exitCode = 1;

  std::mt19937 rng(o.seeded ? o.seed : static_cast<unsigned>(std::random_device{}()));
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  std::deque<PendingReply> pending;
  long long sent = 0;
  bool dropped = false;

  while (exitCode == 0) {
    const int64_t now = NowMs();
    if (!link.created()) {
      const bool due = (o.faults.appearAfterMs >= 0 && now - start >= o.faults.appearAfterMs) ||
                       (o.faults.appearOnMode && QFileInfo::exists(marker));
      if (due && !linkNow()) {
        exitCode = 1;
        break;
      }
    }

    // Replies that are due.
    while (!pending.empty() && pending.front().due <= now) {
      std::vector<uint8_t>& bytes = pending.front().bytes;
      if (o.faults.corruptRate > 0) {
        for (uint8_t& b : bytes) {
          if (chance(rng) < o.faults.corruptRate) b = static_cast<uint8_t>(b ^ (1u + rng() % 255u));
        }
      }
      std::size_t count = bytes.size();
      if (o.faults.dropAfterBytes >= 0 &&
          sent + static_cast<long long>(count) > o.faults.dropAfterBytes) {
        count = static_cast<std::size_t>(o.faults.dropAfterBytes - sent);
        dropped = true;
      }
      std::size_t done = 0;
      while (done < count) {
        const ssize_t n = ::write(pty.master, bytes.data() + done, count - done);
        if (n > 0) {
          done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
          pollfd w{pty.master, POLLOUT, 0};
          ::poll(&w, 1, 100);
        } else if (n < 0 && errno != EINTR) {
          break;
        }
      }
      sent += static_cast<long long>(done);
      pending.pop_front();
      if (dropped) break;
    }
    if (dropped) {
      // The cable is pulled in the middle of a reply: the port goes away.
      ::tcdrain(pty.master);
      device.LogLine(QStringLiteral("DROPPED after %1 bytes").arg(sent));
      break;
    }

    int timeout = -1;
    if (!pending.empty())
      timeout = static_cast<int>(std::max<int64_t>(0, pending.front().due - now));
    if (!link.created()) {
      int wait = 20;
      if (o.faults.appearAfterMs >= 0 && !o.faults.appearOnMode)
        wait = static_cast<int>(std::max<int64_t>(0, start + o.faults.appearAfterMs - now));
      timeout = timeout < 0 ? wait : std::min(timeout, wait);
    }
    pollfd fds[2] = {{pty.master, POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}};
    const int r = ::poll(fds, 2, timeout);
    if (r < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) break;
    if (fds[0].revents & POLLIN) {
      uint8_t buffer[4096];
      const ssize_t n = ::read(pty.master, buffer, sizeof(buffer));
      if (n > 0) {
        // Every byte goes to the phone's end; what it answers leaves after the delay.
        std::vector<uint8_t> reply = device.Receive(buffer, static_cast<std::size_t>(n));
        if (!reply.empty()) pending.push_back({NowMs() + o.faults.delayMs, std::move(reply)});
      }
    }
  }

  link.Remove();
  pty.Close();
  device.Save();
  return exitCode;
}
