// Small widgets the window needs that Qt has no exact match for: a filled rectangle with a
// one-pixel border, and a progress bar whose Min, Max and Value are single-precision numbers.
#pragma once

#include <QColor>
#include <QGroupBox>
#include <QProgressBar>
#include <QWidget>

namespace shell {

// A filled rectangle with a one-pixel border, drawn beneath its siblings. It takes no input.
class Shape final : public QWidget {
  Q_OBJECT

 public:
  Shape(QColor fill, QColor border, QWidget* parent);
  QColor FillColor() const { return fill_; }
  QColor BorderColor() const { return border_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor fill_;
  QColor border_;
};

// A group box drawn the classic way: its caption sits on the top border line, and children are
// placed from the box's outer corner.
class Frame final : public QGroupBox {
  Q_OBJECT

 public:
  Frame(const QString& title, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A progress bar with a single-precision range and value; no text is drawn on it.
class ProgressBar final : public QProgressBar {
  Q_OBJECT

 public:
  explicit ProgressBar(QWidget* parent);
  float Min() const { return min_; }
  float Max() const { return max_; }
  float Value() const { return value_; }
  void SetMin(float min);
  void SetMax(float max);
  void SetValue(float value);

 private:
  void Apply();

  float min_ = 0.0f;
  float max_ = 100.0f;
  float value_ = 0.0f;
};

}  // namespace shell
