// The English language module: every station text in English. Built as libResQuillon.so into
// the language/ folder of the build tree; copied beside the station executable it replaces the
// built-in texts.
#include "resources/language/resquillon.h"

namespace {

struct Text {
  int32_t id;
  const char* text;
};

// Conversions (%d, %s, %%) match the built-in text of each id, in the same order.
constexpr Text kStrings[] = {
    {101, "About Kestrel(&A)..."},
    {102, "Kestrel station"},
    {103, "Time out!"},
    {104, "Changing the IMEI, please wait "},
    {105, "Passed, next phone please"},
    {106, "Write IMEI failed ! Error code: %d ! "},
    {107, "Open port %d failed !"},
    {108, "Please switch the phone off within %d seconds."},
    {109, "Ready"},
    {110, "Checking."},
    {111, "No response from phone, please make sure phone has been powered on."},
    {112, "Settings"},
    {113, "Create Stagemark object  failed!"},
    {114, "Phone reached, working."},
    {115, "Stopped by the user!"},
    {116, "The number must be 15 digits long"},
    {117, "The Bluetooth address length is not valid"},
    {118, "IMEI %d is invalid! "},
    {119, "Reading the IMEI failed"},
    {120, "Read succeeded"},
    {121, "Please select at least one test item in setting dialog!"},
    {122, "Write time exceeds  %d ms."},
    {123, "Stagemark pass!"},
    {124, "Stagemark fail!"},
    {125, "Stagemark check failed!"},
    {126, "Station is not exist!"},
    {127, "PRE0STATION %s is not passed!"},
    {128, "Write Stagemark information fail!"},
    {129, "Read Stagemark information fail!"},
    {130, "Read magic number of Stagemark fail!"},
    {131, "Create Stagemark buffer failed!"},
    {132, "Invalid Stagemark object!"},
    {133, "IMEI%d  has been used before"},
    {134, "Open saving IMEI log file fail!"},
    {135, "Passed :  %d"},
    {136, "Failed :%d"},
    {137, "Yield: %d%%"},
    {138, "Invalid production info. data structure."},
    {139, "Station %s has not been tested yet."},
    {140, "The size of input buffer is too small."},
    {141, "Invalid magic number(not KV05 or KV09)."},
    {142, "Read version from phone failed!"},
    {143, "Version check failed. "},
    {144, "IMEI is protected!"},
    {145, "Version check passed."},
    {146, "The 1st byte of WIFI address must be even number!"},
    {147,
     "The first 6 digits of WIFI address should be same as <ForeWIFI> setting value of "
     "configuration file."},
    {148, "Normal mode"},
    {149, "Calibration mode"},
    {150, "Make sure the phone is on, then connect the USB cable"},
    {151, "The serial number length is not valid"},
    {152, "Don't press 'power' key. If using the USB cable, the VBUS pin must be disconnected!"},
    {153, "Unknown Error!"},
    {154, "Select the port of the phone."},
    {155, "Port detected!"},
    {156, "The port has not been detected yet!"},
    {157, "Write SN failed ! Error code: %d ! "},
    {158, "SN %d is invalid!"},
    {159,
     "If above check-box has been selected, virtual COM port of USB enumeration feature of "
     "phone will be disabled!"},
    {160, "Manual entry"},
    {161, "Automatic IMEI"},
    {162, "Automatic increment"},
    {163, "The length of version must be > %d !"},
    {164, "The IMEI is repeated!"},
    {165, "Address file error!"},
    {166, "Serial number generated."},
    {167, "IMEI generated."},
    {168, "IMEI check passed"},
    {169, "Check failed !"},
    {170, "Input BT Address is invalid. Format: %s\r\n"},
    {171, "Input WIFI Address is invalid. Format: %s\r\n"},
    {172, "Check AP Version Failed!"},
    {173, "AP version check passed."},
    {174, "Read CU Reference failed!"},
    {175, "Write CU Reference failed!"},
    {176, "Set Failed(%s)!"},
    {177, "Exceed range! Please reset BT Initial Addr and End Addr!"},
    {178, "Exceed range! Please reset WIFI Initial Addr and End Addr!"},
    {179, "Disable USB failed(%d)!"},
    {180, "IMEI%d not match!"},
    {181, "Read SecureBoot Failed!"},
    {182, "Write SecureBoot Failed!"},
    {183, "Enable SecureBoot Failed!"},
    {184, "Power off failed!"},
    {185, "BT address not matched!"},
    {186, "WIFI address not matched!"},
};

struct DialogText {
  int32_t dialog;
  int32_t control;
  const char* text;
};

// Captions only; the controls keep their built-in texts.
constexpr DialogText kDialogTexts[] = {
    {100, 0, "About Kestrel"},
    {112, 0, "Settings"},
    {132, 0, "Mode selection"},
};

}  // namespace

extern "C" {

RESQUILLON_EXPORT int32_t ResQuillon_Interface(void) {
  return RESQUILLON_INTERFACE;
}

RESQUILLON_EXPORT int32_t ResQuillon_Version(void) {
  return (1 << 24) | 1;
}  // 1.0.0.1

RESQUILLON_EXPORT const char* ResQuillon_LanguageName(void) {
  return "English";
}

RESQUILLON_EXPORT const char* ResQuillon_String(int32_t id) {
  for (const Text& t : kStrings) {
    if (t.id == id) return t.text;
  }
  return nullptr;
}

RESQUILLON_EXPORT const char* ResQuillon_DialogText(int32_t dialogId, int32_t controlId) {
  for (const DialogText& t : kDialogTexts) {
    if (t.dialog == dialogId && t.control == controlId) return t.text;
  }
  return nullptr;
}

}  // extern "C"
