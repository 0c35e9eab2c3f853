// A button that draws itself through a cell: the cell chooses images and
// title colours from the button's state (enabled, pressed, checked), the
// button keeps the behaviour of a push button.
#pragma once

#include <QPushButton>

#include <memory>

class QColor;
class QPainter;
class QVFBaseButton;

class QVButtonCell {
public:
    virtual ~QVButtonCell() = default;

    virtual void drawWithFrame(QPainter &painter, const QRectF &frame, QVFBaseButton &controlView) = 0;
    virtual void setControlView(QVFBaseButton &) {}
    virtual void mouseEntered(QVFBaseButton &) {}
    virtual void mouseExited(QVFBaseButton &) {}
    // A left click that the button is about to act on.
    virtual void mousePressed(QVFBaseButton &) {}

    // What the cell reads of its button.
    static bool isEnabled(const QVFBaseButton &button);
    static bool isHighlighted(const QVFBaseButton &button);
    // On, and showing its state by its contents (a checkable button).
    static bool showsStateOn(const QVFBaseButton &button);

protected:
    // Draws the title centred in `frame` in the button's font and `colour`;
    // answers the rectangle the text took.
    static QRectF drawTitleText(QPainter &painter, const QString &title, const QRectF &frame,
                                const QVFBaseButton &button, const QColor &colour);
};

class QVFBaseButton final : public QPushButton {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVFBaseButton)

public:
    explicit QVFBaseButton(QWidget *parent = nullptr);
    ~QVFBaseButton() override;

    QVButtonCell *cell() const { return cell_.get(); }
    // Takes the cell; a null cell draws the platform's push button.
    void setCell(std::unique_ptr<QVButtonCell> cell);

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    std::unique_ptr<QVButtonCell> cell_;
};
