#include "StationWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>

namespace {

QLabel* headerLabel(const QString& text) {
  auto* l = new QLabel(text);
  QFont bold = l->font();
  bold.setBold(true);
  l->setFont(bold);
  return l;
}

QString seconds(double s) { return QStringLiteral("%1 s").arg(s, 0, 'f', 1); }

}  // namespace

StationWindow::StationWindow(StationSlots::Settings settings, const std::vector<StationSlots::Port>& ports,
                             QWidget* parent)
    : QWidget(parent, Qt::Window), station_(std::move(settings), ports) {
  setObjectName(QStringLiteral("StationWindow"));
  setWindowTitle(QStringLiteral("Calvaro Bootloader - Station"));

  auto* top = new QVBoxLayout(this);
  auto* fileRow = new QHBoxLayout;
  fileRow->addWidget(new QLabel(QStringLiteral("File for Calvaro module")));
  file_ = new QLineEdit(station_.file());
  file_->setAccessibleName(QStringLiteral("File for Calvaro module"));
  connect(file_, &QLineEdit::textChanged, this, [this](const QString& text) { station_.setFile(text); });
  fileRow->addWidget(file_, 1);
  auto* browse = new QPushButton(QStringLiteral("Browse"));
  browse->setAccessibleName(QStringLiteral("Browse for the file of all slots"));
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString chosen = QFileDialog::getOpenFileName(this, QString(), QFileInfo(file_->text()).absolutePath(),
                                                        QStringLiteral("Files (*.ldr)"));
    if (!chosen.isEmpty()) file_->setText(chosen);
  });
  fileRow->addWidget(browse);
  top->addLayout(fileRow);

  auto* grid = new QGridLayout;
  const QStringList headers{QStringLiteral("Port"),   QStringLiteral("Adapter"), QStringLiteral("State"),
                            QStringLiteral("Progress"), QStringLiteral("Result"),  QStringLiteral("Serial"),
                            QStringLiteral("Time")};
  for (int c = 0; c < headers.size(); ++c) grid->addWidget(headerLabel(headers[c]), 0, c);
  grid->setColumnStretch(2, 2);
  grid->setColumnStretch(3, 2);
  grid->setColumnStretch(4, 2);
  rows_.resize(std::size_t(station_.count()));
  for (int i = 0; i < station_.count(); ++i) {
    const QString name = station_.row(i).name;
    RowControls& r = rows_[std::size_t(i)];
    const auto label = [&](const QString& what) {
      auto* l = new QLabel;
      l->setAccessibleName(name + u' ' + what);
      return l;
    };
    r.port = label(QStringLiteral("port"));
    r.port->setText(name);
    r.port->setToolTip(station_.row(i).device);
    r.adapter = label(QStringLiteral("adapter"));
    r.adapter->setText(station_.row(i).adapter);
    r.state = label(QStringLiteral("state"));
    r.progress = new QProgressBar;
    r.progress->setAccessibleName(name + QStringLiteral(" progress"));
    r.progress->setRange(0, 100);
    r.result = label(QStringLiteral("result"));
    r.serial = label(QStringLiteral("serial"));
    r.time = label(QStringLiteral("time"));
    r.start = new QPushButton(QStringLiteral("Start"));
    r.start->setAccessibleName(name + QStringLiteral(" start"));
    connect(r.start, &QPushButton::clicked, this, [this, i] { station_.start(i); });
    const std::initializer_list<QWidget*> cells{r.port, r.adapter, r.state, r.progress, r.result, r.serial, r.time,
                                               r.start};
    int c = 0;
    for (QWidget* w : cells) grid->addWidget(w, i + 1, c++);
  }
  grid->setRowStretch(station_.count() + 1, 1);  // the rows stay at the top
  auto* table = new QWidget;
  table->setLayout(grid);
  auto* scroll = new QScrollArea;
  scroll->setWidget(table);
  scroll->setWidgetResizable(true);
  top->addWidget(scroll, 1);

  auto* buttons = new QHBoxLayout;
  autoStart_ = new QCheckBox(QStringLiteral("Start when a unit answers"));
  autoStart_->setAccessibleName(QStringLiteral("Start when a unit answers, every slot"));
  connect(autoStart_, &QCheckBox::toggled, &station_, &StationSlots::setAutoStart);
  buttons->addWidget(autoStart_);
  buttons->addStretch(1);
  startAll_ = new QPushButton(QStringLiteral("Start all"));
  startAll_->setAccessibleName(QStringLiteral("Start all slots"));
  connect(startAll_, &QPushButton::clicked, &station_, &StationSlots::startAll);
  buttons->addWidget(startAll_);
  stopAll_ = new QPushButton(QStringLiteral("Stop all"));
  stopAll_->setAccessibleName(QStringLiteral("Stop all slots"));
  connect(stopAll_, &QPushButton::clicked, &station_, &StationSlots::stopAll);
  buttons->addWidget(stopAll_);
  top->addLayout(buttons);

  connect(&station_, &StationSlots::rowChanged, this, [this](int index) {
    showRow(index);
    showButtons();
    if (closing_ && !station_.anyRunning()) close();
  });
  clock_ = new QTimer(this);
  connect(clock_, &QTimer::timeout, this, &StationWindow::showTimes);
  clock_->start(1000);
  for (int i = 0; i < station_.count(); ++i) showRow(i);
  showButtons();
  resize(860, 160 + 34 * std::min(station_.count(), 12));
}

StationWindow::~StationWindow() = default;

void StationWindow::showRow(int index) {
  const StationSlots::Row& row = station_.row(index);
  RowControls& r = rows_[std::size_t(index)];
  r.state->setText(StationSlots::stateText(row));
  r.progress->setValue(row.total > 0 ? int(row.done * 100 / row.total) : 0);
  r.result->setText(row.end ? row.end->outcome : QString());
  r.serial->setText(!row.end ? QString() : row.end->serial ? QString::number(*row.end->serial) : QStringLiteral("-"));
  if (row.end) r.time->setText(seconds(row.end->seconds));
  const bool running = row.state == StationSlots::State::Running || row.state == StationSlots::State::Stopping;
  r.start->setEnabled(!running && !closing_);
}

void StationWindow::showButtons() {
  bool running = false;
  for (int i = 0; i < station_.count(); ++i)
    running = running || station_.row(i).state == StationSlots::State::Running;
  stopAll_->setEnabled(running);
  startAll_->setEnabled(!closing_);
}

void StationWindow::showTimes() {
  const auto now = std::chrono::steady_clock::now();
  for (int i = 0; i < station_.count(); ++i) {
    const StationSlots::Row& row = station_.row(i);
    if (row.state == StationSlots::State::Running || row.state == StationSlots::State::Stopping)
      rows_[std::size_t(i)].time->setText(seconds(std::chrono::duration<double>(now - row.started).count()));
  }
}

void StationWindow::closeEvent(QCloseEvent* event) {
  if (!station_.anyRunning()) {
    event->accept();
    return;
  }
  // Each slot keeps its record: the window goes when the last has ended.
  closing_ = true;
  autoStart_->setChecked(false);
  station_.stopAll();
  event->ignore();
}
