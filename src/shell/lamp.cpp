#include "shell/lamp.h"

#include <QPainter>

namespace rk::shell {

Lamp::Lamp(QWidget* parent) : QWidget(parent) {
    setFixedSize(sizeHint());
}

void Lamp::set_fill(const QColor& fill) {
    if (fill == fill_) return;
    fill_ = fill;
    update();
}

void Lamp::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(lamp_colour::grey, 1));
    painter.setBrush(fill_);
    painter.drawEllipse(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
}

}  // namespace rk::shell
