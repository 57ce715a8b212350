#include <platform/PortListing.h>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace platform {

namespace {

// Where the kernel's device tree, the device nodes and its process file
// system are.
struct SystemRoots {
  fs::path sys = "/sys";
  QString dev = QStringLiteral("/dev");
  QString proc = QStringLiteral("/proc");
};

SystemRoots roots() {
  SystemRoots roots;
  if (const QString sys = qEnvironmentVariable("KESTRUNE_SYSFS_ROOT"); !sys.isEmpty()) roots.sys = sys.toStdString();
  if (const QString dev = qEnvironmentVariable("KESTRUNE_DEV_ROOT"); !dev.isEmpty()) roots.dev = dev;
  if (const QString proc = qEnvironmentVariable("KESTRUNE_PROC_ROOT"); !proc.isEmpty()) roots.proc = proc;
  return roots;
}

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

QStringList consolePorts() {
  QFile file(roots().proc + QStringLiteral("/consoles"));
  QStringList names;
  if (!file.open(QIODevice::ReadOnly)) return names;
  // "ttyS0                -W- (EC p a)    4:64": the name comes first.
  for (const QByteArray& line : file.readAll().split('\n'))
    if (const QByteArray name = line.simplified().split(' ').value(0); !name.isEmpty()) names << QString::fromLocal8Bit(name);
  return names;
}

QString devicePathOf(const QString& portName) { return QDir::cleanPath(roots().dev + u'/' + portName); }

QString serialPortName(const QString& device) {
  const fs::path ttys = roots().sys / "class" / "tty";
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

AdapterFacts adapterOf(const QString& portName) {
  AdapterFacts id;
  if (portName.isEmpty()) return id;
  const SystemRoots where = roots();
  std::error_code ec;
  const fs::path device = fs::canonical(where.sys / "class" / "tty" / pathOf(portName) / "device", ec);
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
  const fs::path devices = fs::canonical(where.sys / "devices", ec);
  for (fs::path d = device; !ec && d.has_relative_path() && d != devices && d != d.parent_path(); d = d.parent_path()) {
    if (!fs::exists(d / "idVendor", ec)) continue;
    id.vendorId = attribute(d / "idVendor");
    id.productId = attribute(d / "idProduct");
    id.manufacturer = attribute(d / "manufacturer");
    id.product = attribute(d / "product");
    id.serial = attribute(d / "serial");
    break;
  }

  const fs::path dev = pathOf(where.dev);
  const fs::path node = (dev / pathOf(portName)).lexically_normal();
  id.byId = linkInto(dev / "serial" / "by-id", node);
  id.byPath = linkInto(dev / "serial" / "by-path", node);
  return id;
}

QStringList serialPorts() {
  const SystemRoots where = roots();
  QStringList names;
  const fs::path ttys = where.sys / "class" / "tty";
  std::error_code ec;
  for (fs::directory_iterator it(ttys, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path tty = it->path();
    std::error_code e;
    // Consoles and pseudo-terminals have no device; a 16550 placeholder
    // has one but reports the unknown UART type 0.
    if (!fs::exists(tty / "device", e) || attribute(tty / "type") == QStringLiteral("0")) continue;
    if (!fs::exists(pathOf(where.dev) / tty.filename(), e)) continue;
    names << textOf(tty.filename());
  }
  std::sort(names.begin(), names.end(), nameOrder);
  return names;
}

}  // namespace platform
