#include <platform/PortListing.h>

#include <QRegularExpression>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

// GUID_DEVINTERFACE_COMPORT, spelled out here: taking it from the headers
// would define every device GUID in this file.
static const GUID kComPortInterface = {0x86E0D1E0L, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// The serial ports are the system's map HKLM\HARDWARE\DEVICEMAP\SERIALCOMM
// (every present port, whatever its driver); who an adapter is comes from
// the device manager (SetupAPI): its instance id
// (USB\VID_0403&PID_6001\A1B2C3), its driver service, its names.
namespace platform {

namespace {

// The strings come from drivers and devices: nothing that would steer the
// operator's terminal reaches it.
QString printable(QString text) {
  text = text.trimmed();
  for (QChar& c : text)
    if (!c.isPrint()) c = u'?';
  return text;
}

// COM10 after COM9: the name's trailing number compared as a number.
bool nameOrder(const QString& a, const QString& b) {
  const auto split = [](const QString& s) {
    qsizetype i = s.size();
    while (i > 0 && s.at(i - 1).isDigit()) --i;
    return std::pair{s.left(i).toUpper(), s.mid(i).toLongLong()};
  };
  return split(a) < split(b);
}

QString regString(HKEY key, const wchar_t* value) {
  wchar_t data[512] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  DWORD type = 0;
  if (::RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS) return {};
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD number = 0;  // copied out: the buffer is wide characters, not a DWORD
    std::memcpy(&number, data, sizeof number);
    return QString::number(number);
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
  return QString::fromWCharArray(data, int(size / sizeof(wchar_t))).section(QChar(0), 0, 0);
}

QString deviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t data[512] = {};
  DWORD type = 0;
  if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, reinterpret_cast<BYTE*>(data),
                                           sizeof data - sizeof(wchar_t), nullptr) ||
      (type != REG_SZ && type != REG_MULTI_SZ))
    return {};
  return printable(QString::fromWCharArray(data));
}

QString instanceId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (::CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
  return QString::fromWCharArray(id);
}

// USB ids and the serial number from an instance id: USB\VID_0403&PID_6001\A1B2C3
// or FTDIBUS\VID_0403+PID_6001+A1B2C3A\0000. A serial the system made up
// (6&2C24CE8&0&1) is none.
void takeUsbIds(const QString& id, AdapterFacts& facts) {
  static const QRegularExpression ids(QStringLiteral("VID_([0-9A-Fa-f]{4})[&+]PID_([0-9A-Fa-f]{4})(?:\\+([^\\\\]+))?"));
  const QRegularExpressionMatch m = ids.match(id);
  if (!m.hasMatch()) return;
  if (facts.vendorId.isEmpty()) facts.vendorId = m.captured(1).toLower();
  if (facts.productId.isEmpty()) facts.productId = m.captured(2).toLower();
  QString serial = m.captured(3);
  if (serial.isEmpty() && id.startsWith(QLatin1String("USB\\"), Qt::CaseInsensitive)) serial = id.section(u'\\', 2, 2);
  if (facts.serial.isEmpty() && !serial.isEmpty() && !serial.contains(u'&')) facts.serial = printable(serial);
}

}  // namespace

QStringList serialPorts() {
  QStringList names;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return names;
  for (DWORD i = 0;; ++i) {
    wchar_t value[256];
    DWORD valueSize = 256;
    wchar_t data[256] = {};
    DWORD dataSize = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    const LONG got =
        ::RegEnumValueW(key, i, value, &valueSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
    if (got == ERROR_NO_MORE_ITEMS) break;
    if (got != ERROR_SUCCESS || type != REG_SZ) continue;
    const QString name = printable(QString::fromWCharArray(data, int(dataSize / sizeof(wchar_t))).section(QChar(0), 0, 0));
    if (!name.isEmpty() && !names.contains(name, Qt::CaseInsensitive)) names << name;
  }
  ::RegCloseKey(key);
  std::sort(names.begin(), names.end(), nameOrder);
  return names;
}

QString serialPortName(const QString& device) {
  QString name = device;
  if (name.startsWith(QLatin1String("\\\\.\\"))) name = name.mid(4);
  for (const QString& port : serialPorts())
    if (port.compare(name, Qt::CaseInsensitive) == 0) return port;
  return {};
}

QString devicePathOf(const QString& portName) {
  // The port control opens a port by its own name (COM17).
  return portName;
}

QStringList consolePorts() {
  // Windows writes no console messages to a serial port.
  return {};
}

AdapterFacts adapterOf(const QString& portName) {
  AdapterFacts facts;
  if (portName.isEmpty()) return facts;
  HDEVINFO set = ::SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return facts;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    const QString name = regString(key, L"PortName");
    // FTDI's driver keeps the adapter's latency timer beside the name.
    const QString latency = regString(key, L"LatencyTimer");
    ::RegCloseKey(key);
    if (name.compare(portName, Qt::CaseInsensitive) != 0) continue;

    facts.driver = deviceProperty(set, device, SPDRP_SERVICE);
    facts.manufacturer = deviceProperty(set, device, SPDRP_MFG);
    facts.product = deviceProperty(set, device, SPDRP_FRIENDLYNAME);
    if (facts.product.isEmpty()) facts.product = deviceProperty(set, device, SPDRP_DEVICEDESC);
    facts.latencyTimer = printable(latency);
    facts.byPath = deviceProperty(set, device, SPDRP_LOCATION_INFORMATION);
    // The port's own id, then its parents' up to the USB device: the ids
    // and serial number are the first found on the way.
    const QString own = instanceId(device.DevInst);
    facts.byId = printable(own);
    takeUsbIds(own, facts);
    DEVINST node = device.DevInst;
    for (int up = 0; up < 3 && facts.serial.isEmpty(); ++up) {
      DEVINST parent = 0;
      if (::CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
      takeUsbIds(instanceId(parent), facts);
      node = parent;
    }
    break;
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return facts;
}

}  // namespace platform
