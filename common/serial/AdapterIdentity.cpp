#include "AdapterIdentity.h"

#include <QFile>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

fs::path pathOf(const QString& text) { return fs::path(text.toStdString()); }
QString textOf(const fs::path& path) { return QString::fromStdString(path.string()); }

// A sysfs attribute as one printable line: the strings come from the device
// itself, so control characters must not reach the operator's terminal.
QString attribute(const fs::path& file) {
  QFile f(textOf(file));
  if (!f.open(QIODevice::ReadOnly)) return {};
  QString text = QString::fromUtf8(f.read(256)).trimmed();
  for (QChar& c : text)
    if (!c.isPrint()) c = u'?';
  return text;
}

QString linkName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? QString() : textOf(target.filename());
}

// A link's target as a clean absolute path, without following it further.
fs::path linkTarget(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  if (ec) return {};
  return (target.is_absolute() ? target : link.parent_path() / target).lexically_normal();
}

QString linkInto(const fs::path& folder, const fs::path& node) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_symlink(ec) && linkTarget(it->path()) == node) return textOf(it->path());
  return {};
}

// ttyUSB10 after ttyUSB9: the name's trailing number compared as a number.
bool nameOrder(const QString& a, const QString& b) {
  const auto split = [](const QString& s) {
    qsizetype i = s.size();
    while (i > 0 && s.at(i - 1).isDigit()) --i;
    return std::pair{s.left(i), s.mid(i).toLongLong()};
  };
  return split(a) < split(b);
}

}  // namespace

SystemRoots SystemRoots::fromEnvironment() {
  SystemRoots roots;
  if (const QString sys = qEnvironmentVariable("KESTRUNE_SYSFS_ROOT"); !sys.isEmpty()) roots.sys = sys;
  if (const QString dev = qEnvironmentVariable("KESTRUNE_DEV_ROOT"); !dev.isEmpty()) roots.dev = dev;
  if (const QString proc = qEnvironmentVariable("KESTRUNE_PROC_ROOT"); !proc.isEmpty()) roots.proc = proc;
  return roots;
}

QStringList SystemRoots::consoles() const {
  QFile file(proc + QStringLiteral("/consoles"));
  QStringList names;
  if (!file.open(QIODevice::ReadOnly)) return names;
  // "ttyS0                -W- (EC p a)    4:64": the name comes first.
  for (const QByteArray& line : file.readAll().split('\n'))
    if (const QByteArray name = line.simplified().split(' ').value(0); !name.isEmpty()) names << QString::fromLocal8Bit(name);
  return names;
}

QString AdapterIdentity::ttyName(const QString& device, const SystemRoots& roots) {
  const fs::path ttys = pathOf(roots.sys) / "class" / "tty";
  fs::path p = pathOf(device).lexically_normal();
  // A few hops: by-id link to node, node to whatever it may stand for.
  for (int hop = 0; hop < 8 && !p.empty(); ++hop) {
    const fs::path name = p.filename();
    std::error_code ec;
    if (!name.empty() && name != "." && name != ".." && fs::exists(ttys / name, ec)) return textOf(name);
    if (!fs::is_symlink(p, ec)) break;
    p = linkTarget(p);
  }
  return {};
}

AdapterIdentity AdapterIdentity::of(const QString& ttyName, const SystemRoots& roots) {
  AdapterIdentity id;
  if (ttyName.isEmpty()) return id;
  const fs::path sys = pathOf(roots.sys);
  std::error_code ec;
  const fs::path device = fs::canonical(sys / "class" / "tty" / pathOf(ttyName) / "device", ec);
  if (ec) return id;

  // Newer kernels put serial-base port and controller nodes between the tty
  // and the driver that owns the hardware.
  fs::path owner = device;
  for (int up = 0; up < 3 && linkName(owner / "subsystem") == QStringLiteral("serial-base"); ++up)
    owner = owner.parent_path();
  id.driver = linkName(owner / "driver");
  if (id.driver == QStringLiteral("ftdi_sio")) id.latencyTimer = attribute(device / "latency_timer");

  // The USB device is the port's interface's parent (usb-serial) or the
  // interface's parent (cdc_acm): the first ancestor with a vendor id.
  const fs::path devices = fs::canonical(sys / "devices", ec);
  for (fs::path d = device; !ec && d.has_relative_path() && d != devices && d != d.parent_path(); d = d.parent_path()) {
    if (!fs::exists(d / "idVendor", ec)) continue;
    id.vendorId = attribute(d / "idVendor");
    id.productId = attribute(d / "idProduct");
    id.manufacturer = attribute(d / "manufacturer");
    id.product = attribute(d / "product");
    id.serial = attribute(d / "serial");
    break;
  }

  const fs::path dev = pathOf(roots.dev);
  const fs::path node = (dev / pathOf(ttyName)).lexically_normal();
  id.byId = linkInto(dev / "serial" / "by-id", node);
  id.byPath = linkInto(dev / "serial" / "by-path", node);
  return id;
}

QStringList AdapterIdentity::serialTtys(const SystemRoots& roots) {
  QStringList names;
  const fs::path ttys = pathOf(roots.sys) / "class" / "tty";
  std::error_code ec;
  for (fs::directory_iterator it(ttys, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path tty = it->path();
    std::error_code e;
    // Consoles and pseudo-terminals have no device; a 16550 placeholder
    // has one but reports the unknown UART type 0.
    if (!fs::exists(tty / "device", e) || attribute(tty / "type") == QStringLiteral("0")) continue;
    if (!fs::exists(pathOf(roots.dev) / tty.filename(), e)) continue;
    names << textOf(tty.filename());
  }
  std::sort(names.begin(), names.end(), nameOrder);
  return names;
}

QString AdapterIdentity::summary() const {
  QStringList parts;
  if (!driver.isEmpty()) parts << QStringLiteral("driver ") + driver;
  if (!vendorId.isEmpty()) parts << QStringLiteral("USB %1:%2").arg(vendorId, productId);
  for (const QString& s : {manufacturer, product})
    if (!s.isEmpty()) parts << s;
  if (!serial.isEmpty()) parts << QStringLiteral("serial ") + serial;
  if (!latencyTimer.isEmpty()) parts << QStringLiteral("latency timer %1 ms").arg(latencyTimer);
  return parts.join(QStringLiteral(", "));
}
