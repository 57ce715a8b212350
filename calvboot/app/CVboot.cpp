#include "CVboot.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>

#include <serial/ComForm.h>
#include <session/StationSlots.h>
#include <settings/IniFileHandler.h>
#include <settings/LenientNumber.h>
#include <protocol/ModuleCommands.h>
#include <protocol/RSfunctions.h>
#include <serial/SerialPortControl.h>

#include "StationWindow.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

const QString kComSettings = QStringLiteral("ComSettings");
const QString kCalvsettings = QStringLiteral("Calvsettings");

QRect twipsRect(int left, int top, int width, int height) {
  return {CVboot::twips(left), CVboot::twips(top), CVboot::twips(width), CVboot::twips(height)};
}

// Texts use CR LF as their line break; on screen each is one break.
QString screenText(QString text) { return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

}  // namespace

CVboot::CVboot(CalvSession& session, QWidget* parent)
    : QMainWindow(parent), IniPath(session.iniPath()), session_(session), programFolder_(session.folder()) {
  setObjectName(QStringLiteral("CVboot"));
  setWindowTitle(QStringLiteral("Calvaro Bootloader"));

  dialogs.messageBox = [this](const QString& title, const QString& text, QMessageBox::Icon icon) {
    QMessageBox box(icon, title, screenText(text), QMessageBox::Ok, this);
    box.exec();
  };
  dialogs.inputBox = [this](const QString& prompt, const QString& title, const QString& proposed) {
    bool ok = false;
    const QString text = QInputDialog::getText(this, title, prompt, QLineEdit::Normal, proposed, &ok);
    return ok ? text : QString();
  };
  dialogs.openFile = [this](const QString& initialFolder, const QString& filter) {
    return QFileDialog::getOpenFileName(this, QString(), initialFolder, filter);
  };
  // Ends at once: no further events run, nothing is saved.
  dialogs.exitProgram = [] {
    std::fflush(nullptr);
    std::_Exit(0);
  };

  comForm_ = new ComForm(session.link(), QStringLiteral("Communication"), this);
  session.link().setPortMessage([this](const QString& text) {
    dialogs.messageBox(QGuiApplication::applicationDisplayName(), text, QMessageBox::NoIcon);
  });

  buildControls();
  buildMenus();
  setFixedSize(fixedSize());
}

CVboot::~CVboot() { session_.link().setPortMessage({}); }

void CVboot::buildControls() {
  auto* central = new QWidget(this);
  setCentralWidget(central);

  auto frame = [central](const char* name, const QString& caption, QRect where) {
    auto* f = new QGroupBox(caption, central);
    f->setObjectName(QLatin1String(name));
    f->setGeometry(where);
    return f;
  };
  auto label = [](const char* name, const QString& caption, QWidget* in, QRect where) {
    auto* l = new QLabel(caption, in);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(where);
    return l;
  };
  auto textBox = [](const char* name, QWidget* in, QRect where) {
    auto* t = new QLineEdit(in);
    t->setObjectName(QLatin1String(name));
    t->setGeometry(where);
    return t;
  };
  auto button = [](const char* name, const QString& caption, QWidget* in, QRect where) {
    auto* b = new QPushButton(caption, in);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(where);
    return b;
  };

  Frame1 = frame("Frame1", QStringLiteral("Calvaro File"), twipsRect(120, 120, 10935, 1695));
  LblCalv = label("LblCalv", QStringLiteral("File for Calvaro module"), Frame1, twipsRect(120, 480, 2775, 255));
  TxtCalvfile = textBox("TxtCalvfile", Frame1, twipsRect(120, 840, 8775, 375));
  BtnCalvbrowse = button("BtnCalvbrowse", QStringLiteral("Browse"), Frame1, twipsRect(9360, 840, 1335, 375));

  Frame2 = frame("Frame2", QStringLiteral("Test File"), twipsRect(120, 1920, 10935, 1695));
  LblCalvtest = label("LblCalvtest", QStringLiteral("File for Calvaro test"), Frame2, twipsRect(120, 480, 7095, 255));
  TxtTestFile = textBox("TxtTestFile", Frame2, twipsRect(120, 840, 8775, 375));
  BtnCalvtestBrowse = button("BtnCalvtestBrowse", QStringLiteral("Browse"), Frame2, twipsRect(9360, 840, 1335, 375));

  Frame3 = frame("Frame3", QStringLiteral("Status"), twipsRect(120, 3720, 10935, 1815));
  LblStatusText = label("LblStatusText", QStringLiteral("1234"), Frame3, twipsRect(240, 360, 8775, 375));
  QFont statusFont = LblStatusText->font();
  statusFont.setPointSize(12);
  LblStatusText->setFont(statusFont);
  LblStatus = label("LblStatus", QStringLiteral("Status"), Frame3, twipsRect(240, 1080, 2535, 255));
  ProgressBar = new QProgressBar(Frame3);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setGeometry(twipsRect(120, 1440, 10695, 255));
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  BtnStart = button("BtnStart", QStringLiteral("Start"), Frame3, twipsRect(9360, 360, 1335, 375));

  setTabOrder(TxtCalvfile, TxtTestFile);
  setTabOrder(TxtTestFile, BtnCalvbrowse);
  setTabOrder(BtnCalvbrowse, BtnCalvtestBrowse);
  setTabOrder(BtnCalvtestBrowse, BtnStart);

  connect(BtnStart, &QPushButton::clicked, this, &CVboot::BtnStart_Click);
  connect(BtnCalvbrowse, &QPushButton::clicked, this, &CVboot::BtnCalvbrowse_Click);
  connect(BtnCalvtestBrowse, &QPushButton::clicked, this, &CVboot::BtnCalvtestBrowse_Click);
}

void CVboot::buildMenus() {
  auto item = [this](QMenu* menu, const char* name, const QString& caption) {
    QAction* a = menu->addAction(caption);
    a->setObjectName(QLatin1String(name));
    return a;
  };

  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->setObjectName(QStringLiteral("File"));
  Station = item(file, "Station", QStringLiteral("&Station..."));
  connect(Station, &QAction::triggered, this, &CVboot::Station_Click);
  Exit = item(file, "Exit", QStringLiteral("E&xit"));
  connect(Exit, &QAction::triggered, this, &CVboot::Exit_Click);

  QMenu* setting = menuBar()->addMenu(QStringLiteral("&Setting"));
  setting->setObjectName(QStringLiteral("Setting"));
  QMenu* comport = setting->addMenu(QStringLiteral("Comport"));
  comport->setObjectName(QStringLiteral("MenuComport"));
  for (int n = 1; n <= 16; ++n) {
    QAction* a = comport->addAction(QStringLiteral("&COM%1").arg(n));
    a->setObjectName(QStringLiteral("COM%1").arg(n));
    a->setCheckable(true);
    connect(a, &QAction::triggered, this, [this, n] { SelectComPort(std::uint8_t(n)); });
    COM[std::size_t(n - 1)] = a;
  }
  QMenu* speed = setting->addMenu(QStringLiteral("Speed"));
  speed->setObjectName(QStringLiteral("Speed"));
  Speed_9600 = item(speed, "Speed_9600", QStringLiteral("9600"));
  Speed_57600 = item(speed, "Speed_57600", QStringLiteral("57600"));
  Speed_115000 = item(speed, "Speed_115000", QStringLiteral("115000"));
  const std::array<QAction*, 3> speeds{Speed_9600, Speed_57600, Speed_115000};
  for (std::size_t code = 0; code < speeds.size(); ++code) {
    speeds[code]->setCheckable(true);
    connect(speeds[code], &QAction::triggered, this, [this, code] { SelectSpeed(std::uint8_t(code)); });
  }
  Com_Adress = item(setting, "Com_Adress", QStringLiteral("Com Adress"));
  connect(Com_Adress, &QAction::triggered, this, &CVboot::Com_Adress_Click);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("Help"));
  About = item(help, "About", QStringLiteral("&About"));
  connect(About, &QAction::triggered, this, &CVboot::About_Click);
}

void CVboot::Form_Load() {
  program().TestFileMode = 1;

  const CalvSession::StoredLine line = session_.storedLine(StoreSettings);
  commands().DevAdr = line.address;
  // A value that is no port number, or does not even fit a byte, selects COM1.
  SelectComPort(line.comPort);
  SelectSpeed(line.speed.code());

  for (int n = 1; n <= 16; ++n) COM[std::size_t(n - 1)]->setVisible(ProbeComPort(std::uint8_t(n)));

  RSfunctions::InitCommandTable();

  comForm_->show();
  if (line.log) {
    comForm_->SetVisibility(true);
    comForm_->SetLogOn();
  } else {
    comForm_->SetVisibility(false);
  }

  TxtCalvfile->setText(readSetting(kCalvsettings, QStringLiteral("FirmwareFile"), QStringLiteral("?")));

  resize(clientSize(kWidthTwips, kLoadHeightTwips));
  Frame2->hide();
  Frame3->move(Frame3->x(), twips(1920));

  setFileControlsEnabled(true);
  LblStatusText->setText(QStringLiteral("Please select..."));

  // A stored address that does not fit a frame stays as read, is never sent,
  // and the operator hears of it now rather than after a silent run.
  if (!CalvSession::addressFits(commands().DevAdr)) tellAddressRange();
}

QString CVboot::readSetting(const QString& section, const QString& key, const QString& defaultValue) const {
  return StoreSettings ? IniFileHandler::ReadIniValue(section, key, defaultValue, IniPath)
                       : IniFileHandler::ReadIniValueOrDefault(section, key, defaultValue, IniPath);
}

void CVboot::tellAddressRange() {
  dialogs.messageBox(QStringLiteral("Network Address"),
                     QStringLiteral("Network address out of range!\r\n\r\nAllowed are %1 to %2.")
                         .arg(CalvSession::kLowestAddress)
                         .arg(CalvSession::kHighestAddress),
                     QMessageBox::Warning);
}

void CVboot::SelectComPort(std::uint8_t port) {
  commands().ComPort = port >= 1 && port <= 16 ? port : 1;
  for (QAction* a : COM) a->setChecked(false);
  COM[std::size_t(commands().ComPort - 1)]->setChecked(true);
  // The number as passed: an out-of-range value stays stored and selects
  // COM1 again at every start.
  if (StoreSettings) IniFileHandler::WriteIniValue(kComSettings, QStringLiteral("ComPort"), QString::number(port), IniPath);
}

bool CVboot::ProbeComPort(std::uint8_t port) { return session_.link().probePort(port, commands().ComSpeed); }

void CVboot::SelectSpeed(std::uint8_t code) {
  const LineSpeed speed = LineSpeed::fromCode(code).value_or(LineSpeed());
  commands().ComSpeed = speed.code();
  Speed_9600->setChecked(speed.code() == LineSpeed::Baud9600);
  Speed_57600->setChecked(speed.code() == LineSpeed::Baud57600);
  Speed_115000->setChecked(speed.code() == LineSpeed::Baud115200);
  if (StoreSettings) IniFileHandler::WriteIniValue(kComSettings, QStringLiteral("ComSpeed"), speed.text(), IniPath);
}

void CVboot::Com_Adress_Click() {
  const QString copy = commands().DevAdr;
  const QString entered =
      dialogs.inputBox(QStringLiteral("Enter Amplifier Network address"), QStringLiteral("Network Address"), copy);
  if (entered.isEmpty()) {
    commands().DevAdr = copy;
    return;
  }
  // Addressing another amplifier than the one meant is worse than none.
  if (!CalvSession::addressFits(entered)) {
    commands().DevAdr = copy;
    tellAddressRange();
    return;
  }
  commands().DevAdr = entered;
  // The number as read ("12.7" stays 12.7; frames round it when they use
  // it), in the shortest text that reads back as the same number; "-0" as 0.
  const double value = LenientNumber::numericValue(entered);
  IniFileHandler::WriteIniValue(kComSettings, QStringLiteral("DevAdr"),
                                QString::number(value == 0 ? 0.0 : value, 'g', QLocale::FloatingPointShortest),
                                IniPath);
}

void CVboot::Exit_Click() { dialogs.exitProgram(); }

QString CVboot::aboutText() { return CalvSession::aboutText(); }

void CVboot::Station_Click() {
  StationSlots::Settings settings;
  settings.folder = programFolder_;
  settings.file = TxtCalvfile->text();
  settings.address = commands().DevAdr;
  settings.speed = LineSpeed::fromCode(commands().ComSpeed).value_or(LineSpeed());
  settings.messages = statusEcho;
  auto* station = new StationWindow(std::move(settings), StationSlots::presentPorts(IniPath), this);
  station->setAttribute(Qt::WA_DeleteOnClose);
  station->show();
}

void CVboot::About_Click() { dialogs.messageBox(QStringLiteral("About"), aboutText(), QMessageBox::NoIcon); }

void CVboot::setFileControlsEnabled(bool enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{LblCalv, LblCalvtest, TxtCalvfile, TxtTestFile, BtnCalvbrowse,
                                                   BtnCalvtestBrowse, Frame1, Frame2})
    w->setEnabled(enabled);
}

std::optional<ProgramResult> CVboot::BtnStart_Click() {
  BtnStart->setEnabled(false);
  setFileControlsEnabled(false);
  const QString path = program().TestFileMode == 1 ? TxtCalvfile->text() : TxtTestFile->text();
  // Production messages: before the run in place of the status line; during
  // and after it behind the run's own status, which must stay readable.
  QStringList held;
  bool ended = false;
  const auto behind = [this](const QString& m) { setStatusText(LblStatusText->text() + QStringLiteral("; ") + m); };
  const auto endShown = [&] {
    if (std::exchange(ended, true)) return;
    for (const QString& m : held) behind(m);
  };
  const std::optional<ProgramResult> result =
      session_.run(path, *this, [&](CalvSession::Phase phase, const QString& m) {
        if (productionMessage) productionMessage(m);
        else if (phase == CalvSession::Phase::Starting) setStatusText(m);
        else if (phase == CalvSession::Phase::Running) held << m;
        else {
          endShown();
          behind(m);
        }
      });
  endShown();
  // The record is kept: the warning may wait for the operator's click.
  if (result && result->outcome != RunOutcome::Done)
    dialogs.messageBox(ProgramModule::kWarningTitle, ProgramModule::kWarningText, QMessageBox::Warning);
  setFileControlsEnabled(true);
  BtnStart->setEnabled(true);
  return result;
}

QString CVboot::ChooseFirmwareFile(QLineEdit* T) {
  QString initialFolder = programFolder_ + QLatin1Char('/');
  const QString text = T->text();
  if (text.size() >= 2) {
    const qsizetype slash = std::max(text.lastIndexOf(QLatin1Char('/')), text.lastIndexOf(QLatin1Char('\\')));
    const QString folder = text.left(slash >= 0 ? slash + 1 : 1);
    if (QFileInfo(folder).isDir()) initialFolder = folder;
  }
  const QString chosen = dialogs.openFile(initialFolder, QStringLiteral("Files (*.ldr)"));
  if (chosen.isEmpty()) return QString();
  T->setText(chosen);
  return T->text();
}

void CVboot::BtnCalvbrowse_Click() {
  if (!ChooseFirmwareFile(TxtCalvfile).isEmpty())
    IniFileHandler::WriteIniValue(kCalvsettings, QStringLiteral("FirmwareFile"), TxtCalvfile->text(), IniPath);
}

void CVboot::BtnCalvtestBrowse_Click() {
  if (!ChooseFirmwareFile(TxtTestFile).isEmpty())
    IniFileHandler::WriteIniValue(kCalvsettings, QStringLiteral("FirmwareTestFile"), TxtTestFile->text(), IniPath);
}


void CVboot::setStatusText(const QString& text) {
  LblStatusText->setText(text);
  if (statusEcho) statusEcho(text);
}

void CVboot::setProgress(float value) {
  ProgressBar->setValue(std::clamp(static_cast<int>(value), 0, 100));
}

void CVboot::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (event->size() != fixedSize()) resize(fixedSize());
}
