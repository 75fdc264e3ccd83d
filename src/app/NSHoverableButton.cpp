#include "app/NSHoverableButton.h"

#include <QEnterEvent>

namespace quorvel {

// A widget cursor covers the widget's current area, so resizing needs no update.
NSHoverableButton::NSHoverableButton(QWidget* parent) : QPushButton(parent) { setCursor(Qt::PointingHandCursor); }

NSHoverableButton::NSHoverableButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setCursor(Qt::PointingHandCursor);
}

void NSHoverableButton::awakeFromNib() {
    if (!unhoveringImage_.isNull()) setIcon(unhoveringImage_);
    else if (icon().isNull()) setIcon(QIcon());
}

void NSHoverableButton::showImage(const QIcon& preferred) {
    const QIcon target = preferred.isNull() ? icon() : preferred;
    if (target.cacheKey() != icon().cacheKey()) setIcon(target);
}

void NSHoverableButton::enterEvent(QEnterEvent* event) {
    QPushButton::enterEvent(event);
    showImage(hoveringImage_);
}

void NSHoverableButton::leaveEvent(QEvent* event) {
    QPushButton::leaveEvent(event);
    showImage(unhoveringImage_);
}

}  // namespace quorvel
