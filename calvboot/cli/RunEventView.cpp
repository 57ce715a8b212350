#include "RunEventView.h"

void blockEvent(RunEvents& events, const RunEvents::Slot& slot, int block, int moduleCrc, int pcCrc) {
  events.write(slot, QStringLiteral("block"),
               {{QStringLiteral("block"), block},
                {QStringLiteral("module_crc"), moduleCrc},
                {QStringLiteral("pc_crc"), pcCrc},
                {QStringLiteral("match"), moduleCrc == pcCrc}});
}

void RunEventView::setStatusText(const QString& text) {
  if (text.isEmpty() || text == lastPhase_) return;
  lastPhase_ = text;
  events_.phase(slot_, text);
}

void RunEventView::bytesSent(qint64 done, qint64 total) {
  using namespace std::chrono_literals;
  const auto now = std::chrono::steady_clock::now();
  if (done != 0 && done != total && lastProgress_ && now - *lastProgress_ < 250ms) return;
  lastProgress_ = now;
  events_.progress(slot_, done, total);
}
