#include "UploadEvents.h"

#include <QStringList>

void UploadEventView::appendLogText(const QString& text) {
  if (text == QStringLiteral(" .")) {
    using namespace std::chrono_literals;
    const auto now = std::chrono::steady_clock::now();
    ++sent_;
    if (sent_ != 1 && sent_ != total_ && lastProgress_ && now - *lastProgress_ < 250ms) return;
    lastProgress_ = now;
    events_.progress(slot_, sent_, total_, cli::RunEvents::Unit::Lines);
    return;
  }
  // "Port closed" follows every end, which the end event tells.
  for (const QString& part : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
    const QString phase = part.trimmed();
    if (phase.isEmpty() || phase == QStringLiteral("Port closed") || phase == lastPhase_) continue;
    lastPhase_ = phase;
    events_.phase(slot_, phase);
  }
}
