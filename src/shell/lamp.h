// A small coloured square that shows a state at a glance: the service lamp
// (listening or not) and the activity lamp (idle, connected, transmitting).
// REQUIRES: GUI thread.
#pragma once

#include <QColor>
#include <QWidget>

namespace rk::shell {

class Lamp : public QWidget {
    Q_OBJECT
public:
    explicit Lamp(QWidget* parent = nullptr);

    void set_fill(const QColor& fill);
    QColor fill() const { return fill_; }
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_{0x80, 0x80, 0x80};
};

namespace lamp_colour {
inline const QColor grey{0x80, 0x80, 0x80};
inline const QColor green{0x00, 0x80, 0x00};
inline const QColor blue{0x00, 0x00, 0xff};
inline const QColor red{0xff, 0x00, 0x00};
}  // namespace lamp_colour

}  // namespace rk::shell
