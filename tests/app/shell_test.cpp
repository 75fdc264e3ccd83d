// The delegate (watchers, configuration, advanced mode), the real modal
// alert reached from a worker thread, and the hover button.
#include <gtest/gtest.h>

#include <thread>

#include <QAction>
#include <QApplication>
#include <QEnterEvent>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

#include "app/NSHoverableButton.h"
#include "app/UiQueue.h"
#include "display/AUXDisplayManager.h"
#include "model/Log.h"
#include "model/Settings.h"
#include "support/AppFixture.h"
#include "support/Recorders.h"
#include "usb/USBDeviceMonitor.h"

namespace quorvel {
namespace {

using Strings = std::vector<std::string>;

// The configuration requests among the log lines.
class LogCapture {
public:
    Strings lines() const {
        Strings out;
        for (const auto& [level, text] : capture_.lines())
            if (level == LogLevel::info && text.rfind("Request for configuration", 0) == 0) out.push_back(text);
        return out;
    }

private:
    test::ScopedLogCapture capture_;
};

TEST(AppDelegate, LaunchStartsSixteenWatchersAndConfiguresOnce) {
    LogCapture log;
    test::AppFixture f;
    // Each product with vendor 0x7E51 first, then 0x6A3C, in this order.
    std::vector<USBMonitorData> expected;
    for (uint16_t product : {0x6100, 0x6111, 0x6120, 0x6121, 0x6220, 0x6221, 0x6210, 0x6211})
        for (uint16_t vendor : {0x7E51, 0x6A3C}) expected.push_back({vendor, product});
    const auto& monitors = f.delegate->deviceMonitors();
    ASSERT_EQ(monitors.size(), expected.size());
    for (size_t i = 0; i < monitors.size(); ++i) {
        EXPECT_TRUE(monitors[i]->isStarted());
        EXPECT_EQ(monitors[i]->vp(), std::vector<USBMonitorData>{expected[i]}) << i;
    }
    EXPECT_EQ(log.lines(), Strings{"Request for configuration with reconfigreID 0"});
    EXPECT_TRUE(AppDelegate().deviceMonitors().empty()) << "a delegate made only to configure watches nothing";

    // Held back while sleeping, and for an outdated request.
    f.delegate->sleepID = 1;
    f.delegate->configure();
    f.delegate->sleepID = 0;
    f.delegate->reconfigureID = 5;
    f.delegate->configure(4);
    EXPECT_EQ(log.lines().size(), 1u);
    f.delegate->configure(5, false);
    EXPECT_EQ(log.lines().back(), "Request for configuration with reconfigreID 5");
    EXPECT_EQ(f.delegate->reconfigureID, 0);

    // A device present before launch reaches the window through a watcher.
    f.plug(7, {.productId = 0x6210, .vendorId = 0x6A3C});
    EXPECT_EQ(f.comboItems("deviceComboBox"), Strings{"ZK6210"});
}

TEST(AppDelegate, AdvancedModeItem) {
    test::AppFixture f;
    QAction* item = f.window->advancedModeAction();
    ASSERT_TRUE(item->isCheckable());
    item->trigger();
    EXPECT_TRUE(item->isChecked());
    EXPECT_TRUE(advancedMode);
    EXPECT_EQ(f.presenter->alerts(),
              Strings{"Warning|CAUTION: Mistake proofing will be deavtivated!\n\nUsers have to take their own risk "
                      "without warranty. It may damage your device."});
    EXPECT_EQ(f.presenter->styles(), std::vector<AlertStyle>{AlertStyle::warning});
    item->trigger();
    EXPECT_FALSE(item->isChecked());
    EXPECT_FALSE(advancedMode);
    EXPECT_EQ(f.presenter->alerts().size(), 1u);
    EXPECT_TRUE(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
}

// An alert raised on a worker thread shows as a real modal box on the
// interface thread; the worker goes on only after "OK".
TEST(Alerts, WorkerWaitsForTheUsersOK) {
    test::application();
    QtAlertSink sink(std::make_shared<MessageBoxAlertPresenter>());
    std::atomic<bool> returned{false};
    QString seenTitle, seenText;
    bool wasReturnedWhileShown = true;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seenTitle = box->text();
        seenText = box->informativeText();
        wasReturnedWhileShown = returned;
        box->button(QMessageBox::Ok)->click();
        poll.stop();
    });
    poll.start();
    std::thread worker([&] {
        sink.alert("ERROR", "Update process FAILED!", AlertStyle::warning);
        returned = true;
    });
    EXPECT_TRUE(test::waitFor([&] { return returned.load(); }, 10000));
    worker.join();
    EXPECT_EQ(seenTitle, "ERROR");
    EXPECT_EQ(seenText, "Update process FAILED!");
    EXPECT_FALSE(wasReturnedWhileShown);
}

// A task that opens a modal alert runs a nested event loop; tasks posted
// before and during it still run in the order they were posted.
TEST(UiQueue, PostingOrderHoldsAcrossAModalAlert) {
    test::application();
    auto queue = UiQueue::create();
    Strings order;
    QTimer answer;
    answer.setInterval(10);
    int ticks = 0;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        // Answered once both queued tasks have run, or after a while if they do not.
        if (!box || (order.size() < 3 && ++ticks < 50)) return;
        box->button(QMessageBox::Ok)->click();
        answer.stop();
    });
    queue->post([&] {
        order.push_back("connect 1");
        std::thread([&] { queue->post([&] { order.push_back("disconnect 1"); }); }).join();
        answer.start();
        MessageBoxAlertPresenter().present("WARNING", "modal", AlertStyle::warning);
        order.push_back("alert answered");
    });
    queue->post([&] { order.push_back("connect 2"); });
    ASSERT_TRUE(test::waitFor([&] { return order.size() == 4; }, 10000));
    EXPECT_EQ(order, (Strings{"connect 1", "connect 2", "disconnect 1", "alert answered"}));
    queue->close();
}

QIcon solid(QColor color) {
    QPixmap pixmap(8, 8);
    pixmap.fill(color);
    return QIcon(pixmap);
}

TEST(NSHoverableButton, SwapsImagesAndShowsThePointingHand) {
    test::application();
    struct Case {
        const char* name;
        bool hovering, unhovering, own;
        char afterLoad, inside, outside;  // h, u, o (own) or 0 (no image)
    };
    for (const Case& c : {Case{"both images", true, true, false, 'u', 'h', 'u'},
                          Case{"no hovering image", false, true, false, 'u', 'u', 'u'},
                          Case{"only its own image", false, false, true, 'o', 'o', 'o'},
                          Case{"no image at all", false, false, false, 0, 0, 0}}) {
        SCOPED_TRACE(c.name);
        const QIcon hover = solid(Qt::blue), unhover = solid(Qt::gray), own = solid(Qt::red);
        NSHoverableButton button("Go");
        if (c.own) button.setIcon(own);
        if (c.hovering) button.setHoveringImage(hover);
        if (c.unhovering) button.setUnhoveringImage(unhover);
        button.awakeFromNib();
        const auto key = [&](char which) {
            return which == 'h' ? hover.cacheKey() : which == 'u' ? unhover.cacheKey() : own.cacheKey();
        };
        const auto check = [&](char which) {
            if (which == 0) EXPECT_TRUE(button.icon().isNull());
            else EXPECT_EQ(button.icon().cacheKey(), key(which));
        };
        check(c.afterLoad);
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QApplication::sendEvent(&button, &enter);
        check(c.inside);
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&button, &leave);
        check(c.outside);
        EXPECT_EQ(button.cursor().shape(), Qt::PointingHandCursor);
        button.resize(300, 80);
        EXPECT_EQ(button.cursor().shape(), Qt::PointingHandCursor);
    }
}

TEST(NSHoverableButton, WindowButtonsCarryTheirImages) {
    test::AppFixture f;
    for (const char* name : {"getStatusButton", "browseButton", "updateButton", "AUXGetStatusButton", "AUXBrowseButton",
                             "AUXUpdateButton"}) {
        auto* button = f.widget<NSHoverableButton>(name);
        ASSERT_NE(button, nullptr) << name;
        EXPECT_FALSE(button->hoveringImage().isNull()) << name;
        EXPECT_FALSE(button->unhoveringImage().isNull()) << name;
        EXPECT_EQ(button->icon().cacheKey(), button->unhoveringImage().cacheKey()) << name;
    }
}

}  // namespace
}  // namespace quorvel
