// The main window's chrome. The window manager keeps its own frame and
// buttons; below it the window shows a drawn band (the title bar view: a
// grey gradient, a little noise while the window is active, a baseline
// separator) that carries the page buttons and moves the window when
// dragged, and under the band the content view that holds the pages.
#pragma once

#include <QImage>
#include <QPoint>
#include <QWidget>

class QVBoxLayout;

class QVCMainWindowTitlebarView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVCMainWindowTitlebarView)

public:
    struct Colours {
        qreal gradientStart;  // bottom
        qreal gradientEnd;  // top
        qreal separator;
    };

    explicit QVCMainWindowTitlebarView(QWidget *parent = nullptr);
    ~QVCMainWindowTitlebarView() override;

    bool showsBaselineSeparator() const { return showsBaselineSeparator_; }
    void setShowsBaselineSeparator(bool shows);

    // Grey levels of the band while its window is active or not.
    static Colours coloursForState(bool active);
    // A grey w by h image whose bytes are rand() % 256 scaled by `factor`;
    // with 0.015 they are 0 to 3, which brightens the band by a trace.
    static QImage newNoiseImage(int width, int height, double factor);
    // Whether the band draws itself as active.
    bool isActive() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool showsBaselineSeparator_ = true;
    // Set while the window follows the pointer by hand (no system move).
    bool dragging_ = false;
    QPoint dragOffset_;
};

class QVCMainWindow : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVCMainWindow)

public:
    explicit QVCMainWindow(QWidget *parent = nullptr);
    ~QVCMainWindow() override;

    QVCMainWindowTitlebarView *titleBarView() const { return titleBarView_; }
    // Holds the pages, below the band.
    QWidget *contentView() const { return contentView_; }

    double titleBarHeight() const { return titleBarHeight_; }
    // The band's height; the content view takes the rest of the window.
    void setTitleBarHeight(double height);

    bool showsBaselineSeparator() const;
    void setShowsBaselineSeparator(bool shows);

    bool hideTitleBarInFullScreen() const { return hideTitleBarInFullScreen_; }
    void setHideTitleBarInFullScreen(bool hide) { hideTitleBarInFullScreen_ = hide; }

signals:
    // The window is being closed; the close goes through.
    void windowWillClose();

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void applyTitleBarHeight(double height);

    QVBoxLayout *layout_;
    QVCMainWindowTitlebarView *titleBarView_;
    QWidget *contentView_;
    double titleBarHeight_ = 0;
    // The last height set through the setter, restored after full screen.
    double cachedTitleBarHeight_ = 0;
    bool hideTitleBarInFullScreen_ = false;
};
