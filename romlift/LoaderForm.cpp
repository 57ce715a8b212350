#include "LoaderForm.h"

#include <serial/ComForm.h>
#include <serial/SerialLink.h>

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
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

LoaderForm::LoaderForm(RomliftSession& session, QWidget* parent) : QMainWindow(parent), session_(session) {
  setObjectName(QStringLiteral("LoaderForm"));
  setWindowTitle(kCaption);
  buildControls();
  buildMenus();

  com_ = new ComForm(session_.link(), QStringLiteral("ComForm"), this);
  session_.dialogue().setView(this);
  session_.setRecordMessages([this, tell = session_.messages()](const QString& m) {
    if (tell) tell(m);
    appendLogText(QStringLiteral("\r\n") + m);
  });

  chooseFile_ = [this] {
    return QFileDialog::getOpenFileName(this, QString(), QString(), kFileFilter);
  };
  runAbout_ = [](SerialAbout& box) { box.exec(); };
  endProgram_ = [this] {
    if (session_.dialogue().isUploading() || session_.dialogue().isWaitingForBootLoader()) {
      // A wait loop runs inside this click and would outlive a normal quit.
      std::fflush(nullptr);
      std::_Exit(EXIT_SUCCESS);
    }
    QApplication::quit();
  };
}

LoaderForm::~LoaderForm() {
  session_.dialogue().setView(nullptr);
  session_.setRecordMessages(session_.messages());
}

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
  speedItems_ = {Speed_9600, Speed_57600, Speed_115000};
  for (int code = 0; code < LineSpeed::kCount; ++code) {
    speedItems_[code]->setCheckable(true);
    connect(speedItems_[code], &QAction::triggered, this, [this, code] { SelectSpeed(*LineSpeed::fromCode(code)); });
  }
  // Kept for the operator's guide, which names it; the uploader needs no address.
  Com_Adress = action(Comm, QStringLiteral("&Com Adress"), QStringLiteral("Com_Adress"));

  help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("help"));
  About = action(help, QStringLiteral("&About"), QStringLiteral("About"));
  connect(About, &QAction::triggered, this, &LoaderForm::About_Click);
}

void LoaderForm::Form_Load() {
  showGuide();
  Text_Filename->clear();
  Text_Filevalid->clear();
  setLogText(QString());

  showPort();
  SelectSpeed(session_.speed());
  session_.dialogue().StopRequest = false;

  for (std::uint8_t n = 1; n <= kPortCount; ++n) COM[n - 1]->setVisible(ProbeComPort(n));

  com_->show();
  com_->SetVisibility(session_.serialWindowWanted());
}

void LoaderForm::showGuide() { Label1->setText(onScreen(session_.fileCheck().GuideText())); }

// The menu's choice; the session stores it in a window start.
void LoaderForm::SelectComPort(std::uint8_t port) {
  session_.selectPort(port);
  showPort();
}

void LoaderForm::showPort() {
  for (QAction* a : COM) a->setChecked(false);
  COM[session_.comPort() - 1]->setChecked(true);
}

void LoaderForm::SelectSpeed(LineSpeed speed) {
  session_.selectSpeed(speed);
  for (int code = 0; code < LineSpeed::kCount; ++code) speedItems_[code]->setChecked(code == speed.code());
}

bool LoaderForm::ProbeComPort(std::uint8_t port) { return session_.link().probePort(port, session_.speed().code()); }

void LoaderForm::Load_Click() {
  const QString chosen = chooseFile_ ? chooseFile_() : QString();
  if (!session_.load(chosen)) return;  // silently: the screen keeps the last attempt
  showGuide();
  Text_Filevalid->setText(session_.fileCheck().Verdict);
  Text_Filename->setText(session_.fileCheck().FileName);
}

void LoaderForm::Close_Click() {
  if (endProgram_) endProgram_();
}

void LoaderForm::closeEvent(QCloseEvent* event) {
  Close_Click();
  event->accept();
}

void LoaderForm::About_Click() {
  SerialAbout box(ProgramIdentity::romlift(), this);
  if (runAbout_) runAbout_(box);
}

std::optional<UploadEnd> LoaderForm::Commport_Click() { return session_.openPort(); }

UploadResult LoaderForm::BtnUpload_Click() { return session_.upload(); }

void LoaderForm::Serial_cancel_Click() { session_.dialogue().Serial_cancel_Click(); }

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
