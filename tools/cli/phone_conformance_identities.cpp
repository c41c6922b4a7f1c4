// The conformance rows of the identity record: the read, both writes (other values of the
// items the phone holds, read back, the found ones put back) and the refusal of items no
// phone can hold.
#include "tools/cli/phone_conformance_checks.h"

#include <algorithm>
#include <iterator>

namespace kestrel::cli {
namespace {

using Result = ConformanceReport::Result;

struct NvItem {
  const char* name;
  uint32_t bit;
  std::size_t offset;
  std::size_t size;
  bool address;
};

const NvItem kNvItems[] = {
    {"IMEI1", KV_NV_IMEI1, offsetof(NvInfoRecord, imei1), 16, false},
    {"IMEI2", KV_NV_IMEI2, offsetof(NvInfoRecord, imei2), 16, false},
    {"IMEI3", KV_NV_IMEI3, offsetof(NvInfoRecord, imei3), 16, false},
    {"IMEI4", KV_NV_IMEI4, offsetof(NvInfoRecord, imei4), 16, false},
    {"BT", KV_NV_BT, offsetof(NvInfoRecord, bt), 13, true},
    {"WIFI", KV_NV_WIFI, offsetof(NvInfoRecord, wifi), 13, true},
};
constexpr uint32_t kAllItems = 0x77;

QByteArray Item(const NvInfoRecord& r, const NvItem& item) {
  const char* p = reinterpret_cast<const char*>(&r) + item.offset;
  return QByteArray(p, static_cast<qsizetype>(strnlen(p, item.size)));
}

void SetItem(NvInfoRecord* r, const NvItem& item, const QByteArray& text) {
  char* p = reinterpret_cast<char*>(r) + item.offset;
  std::memset(p, 0, item.size);
  std::memcpy(p, text.constData(), std::min<std::size_t>(item.size - 1, text.size()));
}

bool IsImei(const QByteArray& t) {
  return t.size() == 15 &&
         std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsAddress(const QByteArray& t) {
  return t.size() == 12 && std::all_of(t.begin(), t.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

// A value of the item's kind that differs from the one held: every digit moved on by one;
// an address is written in lower case, which the phone must read back in upper case.
QByteArray OtherValue(const NvItem& item, const QByteArray& held) {
  QByteArray out;
  for (char c : held) {
    if (item.address) {
      const int v = QByteArray(1, c).toInt(nullptr, 16);
      out += QByteArray::number((v + 1) % 16, 16);
    } else {
      out += static_cast<char>('0' + (c - '0' + 1) % 10);
    }
  }
  return out;
}

}  // namespace

void LibraryChecks::Identities() {
  NvInfoRecord found;
  const int32_t r = ReadNv(kAllItems, &found);
  if (r != KV_OK) {
    report_.Check("KV_FastReadNvInfo", false, Code(r));
    report_.Add("KV_FastWriteNvInfo", Result::Skip,
                "the identities could not be read to be put back");
    return;
  }
  uint32_t held = 0;
  std::string bad;
  std::string summary;
  for (const NvItem& item : kNvItems) {
    const QByteArray text = Item(found, item);
    if (text.isEmpty()) continue;
    held |= item.bit;
    summary += std::string(summary.empty() ? "" : " ") + item.name;
    if (!(item.address ? IsAddress(text) : IsImei(text)))
      bad += std::string(bad.empty() ? "" : ", ") + item.name + " " + Quoted(text);
  }
  report_.Check("KV_FastReadNvInfo", bad.empty(),
                bad.empty() ? (held ? "holds " + summary : "holds no identities")
                            : "not as a phone keeps it: " + bad +
                                  " (an IMEI is 15 digits, an address 12 upper-case hex digits)");
  IdentityWrite(false, found, held);
  IdentityWrite(true, found, held);
  IdentityRefusals(found, held);
}

// Writes other values of the items the phone holds, reads them back, and puts the found ones
// back. An item the phone does not hold is left alone: no write takes it away again.
void LibraryChecks::IdentityWrite(bool direct, const NvInfoRecord& found, uint32_t held) {
  const char* name = direct ? "KV_NvWriteDirect" : "KV_FastWriteNvInfo";
  if (held == 0) {
    report_.Add(name, Result::Skip,
                "the phone holds no identities (a written one could not be taken back)");
    return;
  }
  NvInfoRecord test{};
  test.mask = held;
  for (const NvItem& item : kNvItems) {
    if (held & item.bit) SetItem(&test, item, OtherValue(item, Item(found, item)));
  }
  int32_t r = WriteNv(direct, test);
  std::string why;
  if (r != KV_OK) {
    why = "write " + Code(r);
  } else {
    NvInfoRecord back;
    r = ReadNv(held, &back);
    if (r != KV_OK) why = "read-back " + Code(r);
    for (const NvItem& item : kNvItems) {
      if (r != KV_OK || !(held & item.bit)) continue;
      const QByteArray want = Item(test, item).toUpper();
      if (Item(back, item) != want && why.empty())
        why = std::string(item.name) + " wrote " + Quoted(Item(test, item)) + ", read back " +
              Quoted(Item(back, item)) + (item.address ? ", not " + Quoted(want) : "");
    }
  }
  // Put back what was found, whatever happened above.
  NvInfoRecord restore = found;
  restore.mask = held;
  const int32_t put = WriteNv(direct, restore);
  NvInfoRecord again;
  const bool same =
      put == KV_OK && ReadNv(held, &again) == KV_OK &&
      std::all_of(std::begin(kNvItems), std::end(kNvItems), [&](const NvItem& item) {
        return !(held & item.bit) || Item(again, item).toUpper() == Item(found, item).toUpper();
      });
  if (!same && why.empty()) why = "the identities found could not be put back";
  report_.Check(name, why.empty(), why.empty() ? "written, read back and put back" : why);
}

// Items a phone cannot hold are refused with the bad-request result, and nothing changes.
void LibraryChecks::IdentityRefusals(const NvInfoRecord& found, uint32_t held) {
  const struct {
    const char* what;
    const NvItem& item;
    const char* text;
  } refusals[] = {{"an IMEI of 14 digits", kNvItems[0], "35693803564380"},
                  {"an IMEI with a letter", kNvItems[1], "35693803564380A"},
                  {"a non-hex address", kNvItems[4], "0011223344GZ"},
                  {"an address of 11 digits", kNvItems[5], "A0B1C2D3E4F"}};
  std::string why;
  for (const auto& refusal : refusals) {
    NvInfoRecord bad{};
    bad.mask = refusal.item.bit;
    SetItem(&bad, refusal.item, refusal.text);
    const int32_t r = WriteNv(false, bad);
    if (r != KV_ERR_DEVICE_BAD_REQUEST && why.empty())
      why = std::string(refusal.what) + " " + Code(r) + ", not 33";
    if (r == KV_OK && (held & refusal.item.bit)) {  // taken: put the found item back
      NvInfoRecord restore = found;
      restore.mask = refusal.item.bit;
      WriteNv(false, restore);
    } else if (r == KV_OK) {
      why += " (the phone now holds it)";
    }
  }
  report_.Check("identity record refusals", why.empty(),
                why.empty() ? "bad IMEIs and addresses answered 33" : why);
}

}  // namespace kestrel::cli
