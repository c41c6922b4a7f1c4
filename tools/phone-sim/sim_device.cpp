#include "tools/phone-sim/sim_device.h"

#include "device/oxbind/wire_protocol.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace kestrel::tools::phonesim {

namespace wire = device::oxbind::wire;

namespace {

constexpr int kSecureBootItems = static_cast<int>(KPE_SECURE_BOOT_ITEMS);

const char* const kDefaultSwVersion = "Plat:KS6580 Project:KESTREL_A1 BASE:KS_A1_V1.0.2 HW:P1";
const char* const kDefaultApVersion = "Plat:KS6580 Project:KESTREL_AP BASE:KS_AP_V2.1.0";
const char* const kPhoneName = "kestrel-phone-sim";
const char* const kDiagCommand = "AT+KVDIAG=";

const char* const kImeiKeys[4] = {"imei1", "imei2", "imei3", "imei4"};
const uint32_t kImeiBits[4] = {KPE_NV_IMEI1, KPE_NV_IMEI2, KPE_NV_IMEI3, KPE_NV_IMEI4};

// A secure-boot item of the state file. Only a whole number from 0 to 2^32 - 1 is an item's
// value; anything else (a hand-edited file may hold 2^32, -1, 1.5 or a text) reads as 0.
uint32_t SecureBootValue(const QJsonValue& v) {
  const double d = v.toDouble(-1.0);
  if (!(d >= 0.0 && d <= 4294967295.0) || d != static_cast<double>(static_cast<uint64_t>(d)))
    return 0;
  return static_cast<uint32_t>(d);
}

// Copies text into an output buffer of the phone's end.
std::size_t Put(const QByteArray& text, char* out, std::size_t capacity) {
  const std::size_t n = std::min(static_cast<std::size_t>(text.size()), capacity);
  std::memcpy(out, text.constData(), n);
  return n;
}

// The state file keeps an address as 12 hexadecimal digits (a file written before addresses
// were kept as bytes may hold lower case); anything else is no address.
bool ParseAddress(const QString& text, uint8_t out[KPE_ADDRESS_BYTES]) {
  if (text.size() != 2 * static_cast<qsizetype>(KPE_ADDRESS_BYTES)) return false;
  for (QChar c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c.toLatin1()))) return false;
  }
  const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
  std::memcpy(out, bytes.constData(), KPE_ADDRESS_BYTES);
  return true;
}

QString AddressText(const uint8_t address[KPE_ADDRESS_BYTES]) {
  return QString::fromLatin1(
      QByteArray(reinterpret_cast<const char*>(address), KPE_ADDRESS_BYTES).toHex().toUpper());
}

}  // namespace

// The phone's end calls these with the SimDevice as its user pointer.
struct SimDevice::Callbacks {
  static SimDevice& D(void* user) { return *static_cast<SimDevice*>(user); }

  static void Send(void* user, const uint8_t* bytes, size_t size) {
    std::vector<uint8_t>& out = D(user).out_;
    out.insert(out.end(), bytes, bytes + size);
  }

  static kpe_verdict OnRequest(void* user, uint16_t command, const uint8_t* p, size_t n,
                               int32_t* result) {
    SimDevice& d = D(user);
    if (d.log_.isOpen()) d.LogLine(RequestLogLine(command, p, n));
    if (d.faults_.noAnswer) return KPE_SILENT;  // a dead phone: logged, never carried out
    if (const auto it = d.faults_.fail.find(command); it != d.faults_.fail.end()) {
      *result = it->second;
      return KPE_ANSWER;
    }
    if (const std::optional<QString> arg = FaultArgument(command, p, n)) {
      const auto when = d.faults_.failWhen.find({command, *arg});
      if (when != d.faults_.failWhen.end()) {
        *result = when->second;
        return KPE_ANSWER;
      }
    }
    return KPE_CARRY_OUT;
  }

  static void OnReply(void* user, uint16_t command, uint8_t* data, size_t size) {
    if (!D(user).faults_.lowercaseAddresses || command != KPE_CMD_NV_READ ||
        size < KPE_NV_RECORD_BYTES)
      return;
    for (std::size_t i = 68; i < 94; ++i) {  // the Bluetooth and Wi-Fi fields
      if (data[i] >= 'A' && data[i] <= 'F') data[i] = static_cast<uint8_t>(data[i] + 32);
    }
  }

  static void OnEvent(void* user, kpe_event event, uint16_t command) {
    SimDevice& d = D(user);
    if (event == KPE_EVENT_BAD_FRAME) {
      ++d.badFrames_;
    } else if (event == KPE_EVENT_SYNC) {
      d.LogLine(QStringLiteral("SYNC"));
    } else {
      d.LogLine(
          QStringLiteral("REPEAT %1").arg(QString::fromStdString(wire::CommandName(command))));
    }
  }

  static int32_t Hello(void*, char* name, size_t capacity, size_t* length) {
    *length = Put(kPhoneName, name, capacity);
    return KPE_OK;
  }

  static int32_t EnterMode(void* user, uint32_t mode) {
    SimDevice& d = D(user);
    d.state_.insert(QStringLiteral("boot_mode"), static_cast<int32_t>(mode));
    d.state_.insert(QStringLiteral("powered_off"), false);
    d.changed_ = true;
    return KPE_OK;
  }

  static int32_t Version(void* user, kpe_version which, char* text, size_t capacity,
                         size_t* length) {
    const char* key = which == KPE_VERSION_AP ? "ap_version" : "sw_version";
    *length = Put(D(user).Text(key).toLatin1(), text, capacity);
    return KPE_OK;
  }

  static int32_t AtCommand(void* user, const char* command, size_t size, char* reply,
                           size_t capacity, size_t* length) {
    SimDevice& d = D(user);
    const QByteArray text(command, static_cast<qsizetype>(size));
    const QString key = QString::fromLatin1(text);
    const QJsonObject stored = d.state_.value(QStringLiteral("at_replies")).toObject();
    if (d.atReplies_.contains(key)) {
      *length = Put(d.atReplies_.value(key).toLatin1(), reply, capacity);
    } else if (stored.contains(key)) {
      *length = Put(stored.value(key).toString().toLatin1(), reply, capacity);
    } else if (text.startsWith(kDiagCommand)) {
      const QByteArray ap = d.Text("ap_version").toLatin1();
      *length =
          kpe_diag_reply(ap.constData(), static_cast<std::size_t>(ap.size()), reply, capacity);
    } else {
      *length = Put("OK", reply, capacity);
    }
    return KPE_OK;
  }

  static int32_t ReadIdentities(void* user, uint32_t wanted, kpe_identities* ids) {
    SimDevice& d = D(user);
    // What the storage holds reads as it is (a state file may hold what no write would take,
    // as a phone without a fourth IMEI answers "FFFF"); writes are checked by the phone's end.
    for (int k = 0; k < 4; ++k) {
      if (!(wanted & kImeiBits[k])) continue;
      const QByteArray imei = d.Text(kImeiKeys[k]).toLatin1().left(KPE_IMEI_DIGITS);
      if (imei.isEmpty()) continue;
      std::memcpy(ids->imei[k], imei.constData(), static_cast<std::size_t>(imei.size()));
      ids->mask |= kImeiBits[k];
    }
    if ((wanted & KPE_NV_BT) && ParseAddress(d.Text("bt"), ids->bt)) ids->mask |= KPE_NV_BT;
    if ((wanted & KPE_NV_WIFI) && ParseAddress(d.Text("wifi"), ids->wifi))
      ids->mask |= KPE_NV_WIFI;
    return KPE_OK;
  }

  static int32_t WriteIdentities(void* user, const kpe_identities* ids, int) {
    SimDevice& d = D(user);
    if (d.faults_.protectedImei) return KPE_ERR_IMEI_PROTECTED;
    if (d.faults_.staleNv) return KPE_OK;  // acknowledged, never stored (a flash that failed)
    for (int k = 0; k < 4; ++k) {
      if (ids->mask & kImeiBits[k]) d.SetText(kImeiKeys[k], QByteArray(ids->imei[k]));
    }
    if (ids->mask & KPE_NV_BT) d.SetText("bt", AddressText(ids->bt).toLatin1());
    if (ids->mask & KPE_NV_WIFI) d.SetText("wifi", AddressText(ids->wifi).toLatin1());
    d.changed_ = true;
    return KPE_OK;
  }

  static int32_t ReadSerial(void* user, int sn1, uint8_t sn[KPE_SN_BYTES]) {
    SimDevice& d = D(user);
    QByteArray text = d.Text(sn1 ? "sn1" : "sn2").toLatin1().left(KPE_SN_BYTES);
    if (d.faults_.snNoNul) text = text.leftJustified(KPE_SN_BYTES, 'X');  // no terminator
    std::memcpy(sn, text.constData(), static_cast<std::size_t>(text.size()));
    return KPE_OK;
  }

  static int32_t WriteSerial(void* user, int sn1, const uint8_t* text, size_t length) {
    SimDevice& d = D(user);
    d.SetText(sn1 ? "sn1" : "sn2",
              QByteArray(reinterpret_cast<const char*>(text), static_cast<qsizetype>(length)));
    d.changed_ = true;
    return KPE_OK;
  }

  static int32_t SetUsbAutoMode(void* user, int on) {
    SimDevice& d = D(user);
    d.state_.insert(QStringLiteral("usb_auto_mode"), on != 0);
    d.changed_ = true;
    return KPE_OK;
  }

  static int32_t ReadCuRef(void* user, uint8_t cu[KPE_CU_BYTES]) {
    const QByteArray bytes =
        QByteArray::fromHex(D(user).Text("cu_ref_hex").toLatin1()).left(KPE_CU_BYTES);
    std::memcpy(cu, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return KPE_OK;
  }

  static int32_t WriteCuRef(void* user, const uint8_t cu[KPE_CU_BYTES]) {
    SimDevice& d = D(user);
    const QByteArray bytes(reinterpret_cast<const char*>(cu), KPE_CU_BYTES);
    d.state_.insert(QStringLiteral("cu_ref_hex"), QString::fromLatin1(bytes.toHex()));
    d.changed_ = true;
    return KPE_OK;
  }

  static int32_t ReadSecureBoot(void* user, uint16_t index, uint32_t* value) {
    *value =
        SecureBootValue(D(user).state_.value(QStringLiteral("secure_boot")).toArray().at(index));
    return KPE_OK;
  }

  static int32_t WriteSecureBoot(void* user, uint16_t index, uint32_t value) {
    SimDevice& d = D(user);
    QJsonArray items = d.state_.value(QStringLiteral("secure_boot")).toArray();
    while (items.size() < kSecureBootItems) items.append(0);
    items[index] = static_cast<double>(value);
    d.state_.insert(QStringLiteral("secure_boot"), items);
    d.changed_ = true;
    return KPE_OK;
  }

  static int32_t EnableSecureBoot(void* user) {
    SimDevice& d = D(user);
    d.state_.insert(QStringLiteral("secure_boot_enabled"), true);
    d.changed_ = true;
    return KPE_OK;
  }

  static int32_t PowerOff(void* user) {
    SimDevice& d = D(user);
    d.state_.insert(QStringLiteral("powered_off"), true);
    d.state_.insert(QStringLiteral("power_off_count"),
                    d.state_.value(QStringLiteral("power_off_count")).toInt() + 1);
    d.changed_ = true;
    return KPE_OK;
  }

  static int32_t ReadStationRecord(void* user, uint8_t* block, size_t capacity, size_t* length) {
    SimDevice& d = D(user);
    if (d.faults_.recordUnreadable) return KPE_ERR_STORAGE;
    const QByteArray bytes = QByteArray::fromBase64(d.Text("station_record").toLatin1());
    if (static_cast<std::size_t>(bytes.size()) > capacity) return KPE_ERR_STORAGE;
    *length = Put(bytes, reinterpret_cast<char*>(block), capacity);
    return KPE_OK;
  }

  static int32_t WriteStationRecord(void* user, const uint8_t* block, size_t length) {
    SimDevice& d = D(user);
    d.ReplaceStationRecord(
        QByteArray(reinterpret_cast<const char*>(block), static_cast<qsizetype>(length)));
    d.changed_ = true;
    return KPE_OK;
  }

  static kpe_callbacks Table() {
    kpe_callbacks cb{};
    cb.send = Send;
    cb.on_request = OnRequest;
    cb.on_reply = OnReply;
    cb.on_event = OnEvent;
    cb.hello = Hello;
    cb.enter_mode = EnterMode;
    cb.version = Version;
    cb.at_command = AtCommand;
    cb.read_identities = ReadIdentities;
    cb.write_identities = WriteIdentities;
    cb.read_serial = ReadSerial;
    cb.write_serial = WriteSerial;
    cb.set_usb_auto_mode = SetUsbAutoMode;
    cb.read_cu_ref = ReadCuRef;
    cb.write_cu_ref = WriteCuRef;
    cb.read_secure_boot = ReadSecureBoot;
    cb.write_secure_boot = WriteSecureBoot;
    cb.enable_secure_boot = EnableSecureBoot;
    cb.power_off = PowerOff;
    cb.read_station_record = ReadStationRecord;
    cb.write_station_record = WriteStationRecord;
    return cb;
  }
};

SimDevice::SimDevice(QString stateFile, QString logFile, Faults faults,
                     QMap<QString, QString> atReplies)
    : stateFile_(std::move(stateFile)),
      logFile_(std::move(logFile)),
      faults_(std::move(faults)),
      atReplies_(std::move(atReplies)),
      end_(std::make_unique<kpe_end>()) {
  const kpe_callbacks cb = Callbacks::Table();
  kpe_init(end_.get(), &cb, this);
  if (!logFile_.isEmpty()) {
    QDir().mkpath(QFileInfo(logFile_).absolutePath());
    log_.setFileName(logFile_);
    log_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
  }
}

SimDevice::~SimDevice() = default;

bool SimDevice::Load(QString* error) {
  QFile f(stateFile_);
  if (f.exists()) {
    if (!f.open(QIODevice::ReadOnly)) {
      *error = QStringLiteral("cannot read %1").arg(stateFile_);
      return false;
    }
    const QByteArray text = f.readAll();
    if (!text.trimmed().isEmpty()) {
      QJsonParseError pe;
      const QJsonDocument doc = QJsonDocument::fromJson(text, &pe);
      if (!doc.isObject()) {
        *error = QStringLiteral("%1: not a JSON object (%2)").arg(stateFile_, pe.errorString());
        return false;
      }
      state_ = doc.object();
    }
  }
  // Defaults for what the file does not hold.
  auto setDefault = [this](const char* key, const QJsonValue& v) {
    if (!state_.contains(QLatin1String(key))) state_.insert(QLatin1String(key), v);
  };
  for (const char* key : kImeiKeys) setDefault(key, QString());
  setDefault("bt", QString());
  setDefault("wifi", QString());
  setDefault("sn1", QString());
  setDefault("sn2", QString());
  setDefault("cu_ref_hex", QString::fromLatin1(QByteArray(KPE_CU_BYTES, '\0').toHex()));
  QJsonArray items;
  for (int i = 0; i < kSecureBootItems; ++i) items.append(0);
  setDefault("secure_boot", items);
  setDefault("secure_boot_enabled", false);
  setDefault("usb_auto_mode", true);
  setDefault("powered_off", false);
  setDefault("power_off_count", 0);
  setDefault("boot_mode", -1);
  setDefault("sw_version", QString::fromLatin1(kDefaultSwVersion));
  setDefault("ap_version", QString::fromLatin1(kDefaultApVersion));
  setDefault("at_replies", QJsonObject());
  setDefault("station_record", QString());
  return true;
}

bool SimDevice::Save() const {
  QDir().mkpath(QFileInfo(stateFile_).absolutePath());
  // Written beside and renamed over the file: a reader sees the old or the new state, never
  // a part. No sync to disk: a simulated phone outlives its process, not a power cut, and a
  // sync per write would dominate the time of a call.
  const QString tmp = stateFile_ + QStringLiteral(".tmp");
  QFile f(tmp);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray text = QJsonDocument(state_).toJson(QJsonDocument::Indented);
  if (f.write(text) != text.size()) return false;
  f.close();
  return ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(stateFile_).constData()) ==
         0;
}

void SimDevice::ReplaceStationRecord(const QByteArray& block) {
  state_.insert(QStringLiteral("station_record"), QString::fromLatin1(block.toBase64()));
}

int SimDevice::bootMode() const {
  return state_.value(QStringLiteral("boot_mode")).toInt(-1);
}

QString SimDevice::Text(const char* key) const {
  return state_.value(QLatin1String(key)).toString();
}

void SimDevice::SetText(const char* key, const QByteArray& bytes) {
  state_.insert(QLatin1String(key), QString::fromLatin1(bytes));
}

void SimDevice::FlushBadFrames() {
  if (badFrames_ == 0) return;
  const int n = badFrames_;
  badFrames_ = 0;
  LogLine(QStringLiteral("BAD_FRAME %1").arg(n));
}

void SimDevice::LogLine(const QString& line) {
  FlushBadFrames();  // dropped frames are logged where they came, before what follows them
  if (!log_.isOpen()) return;
  log_.write(line.toUtf8());
  log_.write("\n");
  log_.flush();
}

std::vector<uint8_t> SimDevice::Receive(const uint8_t* data, std::size_t size) {
  out_.clear();
  kpe_feed(end_.get(), data, size);
  FlushBadFrames();
  if (changed_) {
    Save();
    changed_ = false;
  }
  return std::move(out_);
}

}  // namespace kestrel::tools::phonesim
