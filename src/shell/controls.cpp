#include "shell/controls.h"

#include <QPainter>
#include <cmath>

namespace shell {

namespace {
// The bar keeps integer steps; this many per unit keeps fractions such as 33.33333 visible.
constexpr double kStepsPerUnit = 1000.0;
}  // namespace

Shape::Shape(QColor fill, QColor border, QWidget* parent)
    : QWidget(parent), fill_(fill), border_(border) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setFocusPolicy(Qt::NoFocus);
}

void Shape::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), fill_);
  painter.setPen(QPen(border_, 1));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

Frame::Frame(const QString& title, QWidget* parent) : QGroupBox(title, parent) {
  setFocusPolicy(Qt::NoFocus);
}

void Frame::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QFontMetrics metrics(font());
  const int top = metrics.height() / 2;
  // An etched line: dark, with a light line inside it.
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(QRect(0, top, width() - 2, height() - top - 2));
  painter.setPen(palette().color(QPalette::Light));
  painter.drawRect(QRect(1, top + 1, width() - 2, height() - top - 2));
  const QRect caption(6, 0, metrics.horizontalAdvance(title()) + 4, metrics.height());
  painter.fillRect(caption, palette().color(QPalette::Window));
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(caption, Qt::AlignCenter, title());
}

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
  setTextVisible(false);
  setFocusPolicy(Qt::NoFocus);
  Apply();
}

void ProgressBar::SetMin(float min) {
  min_ = min;
  Apply();
}

void ProgressBar::SetMax(float max) {
  max_ = max;
  Apply();
}

void ProgressBar::SetValue(float value) {
  value_ = value;
  Apply();
}

void ProgressBar::Apply() {
  const int lo = static_cast<int>(std::lround(min_ * kStepsPerUnit));
  const int hi = std::max(lo, static_cast<int>(std::lround(max_ * kStepsPerUnit)));
  setRange(lo, hi);
  setValue(std::clamp(static_cast<int>(std::lround(value_ * kStepsPerUnit)), lo, hi));
}

}  // namespace shell
