#include "LoaderForm.h"
#include "UploadRecord.h"

#include <serial/ComForm.h>
#include <settings/IniFileHandler.h>
#include <serial/SerialPortControl.h>

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QVBoxLayout>

#include <cstdio>
#include <cstdlib>

#include "StartupSettings.h"
#include "UploaderRule.h"

namespace {

const QString kFileFilter = QStringLiteral("Kestrune s19 Files (*.s19)");

// Texts carry CR LF line breaks; on screen each is one break and a stray CR
// shows as nothing.
QString onScreen(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.remove(QLatin1Char('\r'));
  return text;
}

}  // namespace

const QString LoaderForm::kCaption = QStringLiteral("Kestrune Audio - Romlift");

LoaderForm::LoaderForm(const QString& programFolder, const Timing& timing, QWidget* parent)
    : QMainWindow(parent),
      programFolder_(programFolder),
      iniPath_(QDir(programFolder).filePath(QStringLiteral("setup.ini"))) {
  setObjectName(QStringLiteral("LoaderForm"));
  setWindowTitle(kCaption);
  buildControls();
  buildMenus();

  link_ = std::make_unique<SerialLink>(std::make_unique<UploaderRule>(), programFolder_, timing);
  link_->setMessageSink([](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
  com_ = new ComForm(*link_, QStringLiteral("ComForm"), this);
  upload_ = std::make_unique<UploadDialogue>(*link_, static_cast<UploadView&>(*this), iniPath_, timing);

  chooseFile_ = [this] {
    return QFileDialog::getOpenFileName(this, QString(), QString(), kFileFilter);
  };
  runAbout_ = [](SerialAbout& box) { box.exec(); };
  endProgram_ = [this] {
    if (upload_->isUploading() || upload_->isWaitingForBootLoader()) {
      // A wait loop runs inside this click and would outlive a normal quit.
      std::fflush(nullptr);
      std::_Exit(EXIT_SUCCESS);
    }
    QApplication::quit();
  };
}

LoaderForm::~LoaderForm() = default;

void LoaderForm::buildControls() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);

  Label1 = new QLabel(central);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label1->setWordWrap(true);
  layout->addWidget(Label1);

  Text_Filename = new QLineEdit(central);
  Text_Filename->setObjectName(QStringLiteral("Text_Filename"));
  Text_Filename->setReadOnly(true);
  layout->addWidget(Text_Filename);

  Text_Filevalid = new QLineEdit(central);
  Text_Filevalid->setObjectName(QStringLiteral("Text_Filevalid"));
  Text_Filevalid->setReadOnly(true);
  layout->addWidget(Text_Filevalid);

  Text_Serinput = new QPlainTextEdit(central);
  Text_Serinput->setObjectName(QStringLiteral("Text_Serinput"));
  Text_Serinput->setReadOnly(true);
  Text_Serinput->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  layout->addWidget(Text_Serinput, 1);

  auto* buttons = new QHBoxLayout;
  Commport = new QPushButton(UploadDialogue::kOpenCaption, central);
  Commport->setObjectName(QStringLiteral("Commport"));
  BtnUpload = new QPushButton(QStringLiteral("Upload"), central);
  BtnUpload->setObjectName(QStringLiteral("BtnUpload"));
  Serial_cancel = new QPushButton(QStringLiteral("Cancel Upload"), central);
  Serial_cancel->setObjectName(QStringLiteral("Serial_cancel"));
  buttons->addWidget(Commport);
  buttons->addWidget(BtnUpload);
  buttons->addWidget(Serial_cancel);
  layout->addLayout(buttons);

  connect(Commport, &QPushButton::clicked, this, &LoaderForm::Commport_Click);
  connect(BtnUpload, &QPushButton::clicked, this, &LoaderForm::BtnUpload_Click);
  connect(Serial_cancel, &QPushButton::clicked, this, &LoaderForm::Serial_cancel_Click);

  setCentralWidget(central);
  resize(640, 620);
}

void LoaderForm::buildMenus() {
  auto action = [](QMenu* menu, const QString& caption, const QString& name) {
    QAction* a = menu->addAction(caption);
    a->setObjectName(name);
    return a;
  };

  File = menuBar()->addMenu(QStringLiteral("&File"));
  File->setObjectName(QStringLiteral("File"));
  Load = action(File, QStringLiteral("&Load"), QStringLiteral("Load"));
  Close = action(File, QStringLiteral("&Close"), QStringLiteral("Close"));
  connect(Load, &QAction::triggered, this, &LoaderForm::Load_Click);
  connect(Close, &QAction::triggered, this, &LoaderForm::Close_Click);

  Comm = menuBar()->addMenu(QStringLiteral("&Comm"));
  Comm->setObjectName(QStringLiteral("Comm"));
  Comm_Port_menu = Comm->addMenu(QStringLiteral("&Comm port"));
  Comm_Port_menu->setObjectName(QStringLiteral("Comm_Port_menu"));
  for (std::uint8_t n = 1; n <= kPortCount; ++n) {
    QAction* a = action(Comm_Port_menu, QStringLiteral("&COM%1").arg(n), QStringLiteral("COM%1").arg(n));
    a->setCheckable(true);
    connect(a, &QAction::triggered, this, [this, n] { SelectComPort(n); });
    COM[n - 1] = a;
  }
  Speed = Comm->addMenu(QStringLiteral("&Speed"));
  Speed->setObjectName(QStringLiteral("Speed"));
  Speed_9600 = action(Speed, QStringLiteral("&9600"), QStringLiteral("Speed_9600"));
  Speed_57600 = action(Speed, QStringLiteral("&57600"), QStringLiteral("Speed_57600"));
  Speed_115000 = action(Speed, QStringLiteral("&115200"), QStringLiteral("Speed_115000"));
  for (QAction* a : {Speed_9600, Speed_57600, Speed_115000}) a->setCheckable(true);
  connect(Speed_9600, &QAction::triggered, this, [this] { SelectSpeed(0); });
  connect(Speed_57600, &QAction::triggered, this, [this] { SelectSpeed(1); });
  connect(Speed_115000, &QAction::triggered, this, [this] { SelectSpeed(2); });
  // Kept for the operator's guide, which names it; the uploader needs no address.
  Com_Adress = action(Comm, QStringLiteral("&Com Adress"), QStringLiteral("Com_Adress"));

  help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("help"));
  About = action(help, QStringLiteral("&About"), QStringLiteral("About"));
  connect(About, &QAction::triggered, this, &LoaderForm::About_Click);
}

void LoaderForm::Form_Load() {

  check_.BootInstructions.clear();
  showGuide();
  Text_Filename->clear();
  Text_Filevalid->clear();
  setLogText(QString());

  upload_->LineDelay = StartupSettings::lineDelayFromText(
      readSetting(QStringLiteral("Romlifter"), QStringLiteral("Delay"), QStringLiteral("350")));

  SelectComPort(StartupSettings::comPortFromText(
      readSetting(QStringLiteral("ComSettings"), QStringLiteral("ComPort"), QStringLiteral("1"))));
  SelectSpeed(0);
  upload_->StopRequest = false;

  for (std::uint8_t n = 1; n <= kPortCount; ++n) COM[n - 1]->setVisible(ProbeComPort(n));

  com_->show();
  const QString debug = readSetting(QStringLiteral("AmpCom"), QStringLiteral("Debug"), QStringLiteral("0"));
  com_->SetVisibility(SerialLink::isDebugValue(debug));
}

QString LoaderForm::readSetting(const QString& section, const QString& key, const QString& defaultValue) const {
  return StoreSettings ? IniFileHandler::ReadIniValue(section, key, defaultValue, iniPath_)
                       : IniFileHandler::ReadIniValueOrDefault(section, key, defaultValue, iniPath_);
}

void LoaderForm::showGuide() { Label1->setText(onScreen(check_.GuideText())); }

void LoaderForm::SelectComPort(std::uint8_t port) {
  comPort_ = (port >= 1 && port <= kPortCount) ? port : 1;
  for (QAction* a : COM) a->setChecked(false);
  COM[comPort_ - 1]->setChecked(true);
  // The given number, not the corrected one: the file keeps what it held.
  if (StoreSettings)
    IniFileHandler::WriteIniValue(QStringLiteral("ComSettings"), QStringLiteral("ComPort"), QString::number(port),
                                  iniPath_);
}

void LoaderForm::SelectSpeed(std::uint8_t index) {
  comSpeed_ = index <= 2 ? index : 0;
  Speed_9600->setChecked(comSpeed_ == 0);
  Speed_57600->setChecked(comSpeed_ == 1);
  Speed_115000->setChecked(comSpeed_ == 2);
}

bool LoaderForm::ProbeComPort(std::uint8_t port) { return link_->probePort(port, comSpeed_); }

void LoaderForm::Load_Click() {
  const QString chosen = chooseFile_ ? chooseFile_() : QString();
  if (!check_.Load(chosen)) return;  // silently: the screen keeps the last attempt
  showGuide();
  Text_Filevalid->setText(check_.Verdict);
  Text_Filename->setText(check_.FileName);
}

void LoaderForm::Close_Click() {
  if (endProgram_) endProgram_();
}

void LoaderForm::closeEvent(QCloseEvent* event) {
  Close_Click();
  event->accept();
}

void LoaderForm::About_Click() {
  SerialAbout box(SerialAbout::programIdentity(), this);
  if (runAbout_) runAbout_(box);
}

std::optional<UploadEnd> LoaderForm::Commport_Click() { return upload_->Commport_Click(comPort_, comSpeed_); }

UploadEnd LoaderForm::BtnUpload_Click() {
  const UploadFile file{check_.FileValid, check_.FileName, check_.ProductCode};
  UploadRecord record(RecordRuns ? ProductionConfig::fromIni(iniPath_) : ProductionConfig{}, [this](const QString& m) {
    std::fprintf(stderr, "romlift: %s\n", qPrintable(m));
    appendLogText(QStringLiteral("\r\n") + m);
  });
  if (!RecordRuns) return upload_->BtnUpload_Click(file);
  record.begin(file, comPort_, SerialPortControl::deviceForPort(comPort_, iniPath_));
  upload_->EndReached = [this, &record](UploadEnd end) { record.end(*upload_, end); };
  const UploadEnd ending = upload_->BtnUpload_Click(file);
  upload_->EndReached = nullptr;
  return ending;
}

void LoaderForm::Serial_cancel_Click() { upload_->Serial_cancel_Click(); }

void LoaderForm::setLogText(const QString& text) {
  serinput_ = text;
  Text_Serinput->setPlainText(onScreen(text));
}

void LoaderForm::appendLogText(const QString& text) {
  serinput_ += text;
  QTextCursor end(Text_Serinput->document());
  end.movePosition(QTextCursor::End);
  end.insertText(onScreen(text));
  Text_Serinput->verticalScrollBar()->setValue(Text_Serinput->verticalScrollBar()->maximum());
}

void LoaderForm::repaintLog() { Text_Serinput->repaint(); }

void LoaderForm::setPortCaption(const QString& caption) { Commport->setText(caption); }

void LoaderForm::setUploadEnabled(bool enabled) { BtnUpload->setEnabled(enabled); }
