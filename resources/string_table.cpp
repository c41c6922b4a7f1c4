// The built-in string table: every message the station shows, by id.
#include "resources/string_table.h"

#include <array>
#include <atomic>

namespace kestrel::resources {
namespace {

struct Entry {
  int id;
  const char8_t* text;
};

// Texts are kept exactly as the station shows them, trailing blanks included.
constexpr Entry kBuiltIn[] = {
    {101, u8"About Kestrel(&A)..."},
    {102, u8"Kestrel station"},
    {103, u8"תם הזמן!"},
    {104, u8"באמצע תהליך שינוי IMEI "},
    {105, u8"עבר בהצלחה , אפשר לעבור למכשיר הבא"},
    {106, u8"Write IMEI failed ! Error code: %d ! "},
    {107, u8"Open port %d failed !"},
    {108, u8"אנא כבה את המכשיר בתוך %d שניות."},
    {109, u8"מוכן"},
    {110, u8"מוודא."},
    {111, u8"No response from phone, please make sure phone has been powered on."},
    {112, u8"Settings"},
    {113, u8"Create Stagemark object  failed!"},
    {114, u8"Phone reached, working."},
    {115, u8"המשתמש עצר!"},
    {116, u8"אורך המספרים צריך להיות 15"},
    {117, u8"אורך כתובת הבלוטו לא אפשרית"},
    {118, u8"IMEI %d is invalid! "},
    {119, u8"קריאת IMEI נכשל"},
    {120, u8"הקריאה הצליחה"},
    {121, u8"Please select at least one test item in setting dialog!"},
    {122, u8"Write time exceeds  %d ms."},
    {123, u8"Stagemark pass!"},
    {124, u8"Stagemark fail!"},
    {125, u8"Stagemark check failed!"},
    {126, u8"Station is not exist!"},
    {127, u8"PRE0STATION %s is not passed!"},
    {128, u8"Write Stagemark information fail!"},
    {129, u8"Read Stagemark information fail!"},
    {130, u8"Read magic number of Stagemark fail!"},
    {131, u8"Create Stagemark buffer failed!"},
    {132, u8"Invalid Stagemark object!"},
    {133, u8"IMEI%d  כבר היה בשימוש"},
    {134, u8"Open saving IMEI log file fail!"},
    {135, u8"הצליח :  %d"},
    {136, u8"נכשל :%d"},
    {137, u8"Yiled: %d%%"},
    {138, u8"Invalid porduction info. data structure."},
    {139, u8"Station %s has not been tested yet."},
    {140, u8"The size of input buffer is tool small."},
    {141, u8"Invalid magic number(not KV05 or KV09)."},
    {142, u8"Read version from phone failed!"},
    {143, u8"Version check failed. "},
    {144, u8"IMEI is protected!"},
    {145, u8"Version check passed."},
    {146, u8"The 1st byte of WIFI address must be even number!"},
    {147, u8"The fist 6 digitals of WIFI address should be same as <ForeWIFI> setting value of configuration file."},
    {148, u8"מצב רגיל"},
    {149, u8"מצב קליבריישן"},
    {150, u8"נא וודא שהמכשיר דלוק ואז חבר את היואסבי"},
    {151, u8"אורך המספר הסריאלי לא חוקי"},
    {152, u8"Don't press 'power' key. If using the USB cable, the VBUS pin must be disconnected!"},
    {153, u8"Unknown Error!"},
    {154, u8"Select the port of the phone."},
    {155, u8"הפורט זוהה!"},
    {156, u8"The port has not been detected yet!"},
    {157, u8"Write SN failed ! Error code: %d ! "},
    {158, u8"SN %d is invalid!"},
    {159, u8"If above check-box has been selected, virtual COM port of USB enumeration feature of phone will be disabled!"},
    {160, u8"מילוי ידני"},
    {161, u8"מילוי imei אוטומטי"},
    {162, u8"הגדלה אוטומטית"},
    {163, u8"The length of version must be > %d !"},
    {164, u8"ה imei חוזר על עצמו！"},
    {165, u8"Address file error!"},
    {166, u8"Serial number generated."},
    {167, u8"IMEI generated."},
    {168, u8"בדיקת IMEI הצליחה"},
    {169, u8"Check failed !"},
    {170, u8"Input BT Address is invalid. Format: %s\r\n"},
    {171, u8"Input WIFI Address is invalid. Format: %s\r\n"},
    {172, u8"Check AP Version Failed!"},
    {173, u8"AP version check passed."},
    {174, u8"Read CU Reference failed!"},
    {175, u8"Write CU Reference failed！"},
    {176, u8"Set Failed(%s)!"},
    {177, u8"Exceed range! Please reset BT Initial Addr and End Addr!"},
    {178, u8"Exceed range! Please reset WIFI Initial Addr and End Addr!"},
    {179, u8"Disable USB failed(%d)!"},
    {180, u8"IMEI%d not match!"},
    {181, u8"Read SecureBoot Failed!"},
    {182, u8"Write SecureBoot Failed!"},
    {183, u8"Enable SecureBoot Failed!"},
    {184, u8"Power off failed!"},
    {185, u8"BT address not matched!"},
    {186, u8"WIFI address not matched!"},
};

std::atomic<StringProvider*> g_provider{nullptr};

}  // namespace

QString BuiltInString(int id) {
  for (const Entry& e : kBuiltIn) {
    if (e.id == id) return QString::fromUtf8(reinterpret_cast<const char*>(e.text));
  }
  return {};
}

QString LoadString(int id) {
  if (StringProvider* p = g_provider.load()) {
    QString text;
    if (p->Lookup(id, &text)) return text;
  }
  return BuiltInString(id);
}

void SetStringProvider(StringProvider* provider) { g_provider.store(provider); }

StringProvider* CurrentStringProvider() { return g_provider.load(); }

}  // namespace kestrel::resources
