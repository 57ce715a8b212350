#include "SerialAbout.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
// Labels take CR LF as one line break; Qt wants LF.
QString onScreen(QString text) { return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }
}  // namespace

SerialAbout::SerialAbout(const Identity& identity, QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("SerialAbout"));
  auto* layout = new QVBoxLayout(this);
  auto addLabel = [&](QLabel*& label, const char* name) {
    label = new QLabel(this);
    label->setObjectName(QString::fromLatin1(name));
    layout->addWidget(label);
  };
  addLabel(lblTitle, "lblTitle");
  addLabel(lblVersion, "lblVersion");
  addLabel(lblDescription, "lblDescription");
  addLabel(lblLine1, "lblLine1");
  addLabel(lblLine2, "lblLine2");
  cmdOK = new QPushButton(QStringLiteral("OK"), this);
  cmdOK->setObjectName(QStringLiteral("cmdOK"));
  cmdOK->setDefault(true);
  layout->addWidget(cmdOK, 0, Qt::AlignRight);
  connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
  Form_Load(identity);
}

void SerialAbout::Form_Load(const Identity& identity) {
  setWindowTitle(QStringLiteral("About ") + identity.title);
  lblTitle->setText(identity.title);
  lblVersion->setText(identity.versionText());
  lblDescription->setText(
      onScreen(QStringLiteral("Tool for upgrading firmware.\r\n\r\n\r\n\r\n")));
  lblLine1->setText(QStringLiteral("First released in Haldenborg, March 2003"));
  lblLine2->setText(QStringLiteral("Last update October 10th, 2005"));
}
