// A push button that swaps its image while the pointer is over it and shows
// the pointing-hand cursor over its whole area. The window's .ui file sets
// the two images.
#pragma once

#include <QIcon>
#include <QPushButton>

namespace quorvel {

class NSHoverableButton : public QPushButton {
    Q_OBJECT
    Q_PROPERTY(QIcon hoveringImage READ hoveringImage WRITE setHoveringImage)
    Q_PROPERTY(QIcon unhoveringImage READ unhoveringImage WRITE setUnhoveringImage)

public:
    explicit NSHoverableButton(QWidget* parent = nullptr);
    explicit NSHoverableButton(const QString& text, QWidget* parent = nullptr);

    QIcon hoveringImage() const { return hoveringImage_; }
    QIcon unhoveringImage() const { return unhoveringImage_; }
    void setHoveringImage(const QIcon& image) { hoveringImage_ = image; }
    void setUnhoveringImage(const QIcon& image) { unhoveringImage_ = image; }

    // Once the .ui file has set the images: show the unhovering image, or
    // keep the button's own, or an empty one.
    void awakeFromNib();

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void showImage(const QIcon& preferred);

    QIcon hoveringImage_;
    QIcon unhoveringImage_;
};

}  // namespace quorvel
