// A scripted run of the window on a real X server (Xvfb): both tabs, the
// confirmation sheet, both tabs half-way through an upgrade and a chip
// plugged in during one are saved as PNG files into $QUORVEL_SCREENSHOT_DIR
// for a reviewer to look at.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include <QComboBox>
#include <QGuiApplication>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>

#include "support/AppFixture.h"

namespace quorvel {
namespace {

std::filesystem::path outputFolder() {
    const char* dir = std::getenv("QUORVEL_SCREENSHOT_DIR");
    std::filesystem::path path = dir && *dir ? dir : "screenshots";
    std::filesystem::create_directories(path);
    return path;
}

// Saves the image and checks that something was painted into it.
void save(const QImage& image, const std::string& name) {
    ASSERT_FALSE(image.isNull()) << name;
    QImage small = image.scaled(32, 32);
    std::set<QRgb> colours;
    for (int y = 0; y < small.height(); ++y)
        for (int x = 0; x < small.width(); ++x) colours.insert(small.pixel(x, y));
    EXPECT_GT(colours.size(), 4u) << name << " looks blank";
    const auto path = outputFolder() / name;
    EXPECT_TRUE(image.save(QString::fromStdString(path.string()))) << path;
    std::printf("screenshot: %s\n", path.c_str());
}

TEST(Screenshots, BothTabsAndAnUpgradeInProgress) {
    test::AppFixture f;
    f.window = std::make_unique<ViewController>(ViewController::Seams{nullptr, f.chooser});  // the real sheet
    f.delegate->connectAdvancedModeItem(f.window->advancedModeAction());
    f.window->resize(660, 500);
    f.window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(f.window.get()));

    emu::UsbChipOptions options;  // ZK6221, 64-byte packets
    auto model = std::make_shared<emu::UsbChip>(options);
    auto transport = std::make_shared<test::GatedTransport>(model);
    f.plug(1, {}, transport, model);
    f.plug(2, {.productId = 0x6121, .version = "ZK6121 V1.00"});
    f.browse(f.writeTemp("ZK6221 firmware.bin", test::virrenFirmware("ZK6221 V2.00.1")));
    f.window->getStatus();
    QTest::qWait(300);
    save(f.window->grab().toImage(), "usb-tab.png");

    transport->gate.arm(1200);  // half-way through the flash write
    f.window->updateProductFirmware();
    QMessageBox* sheet = nullptr;
    ASSERT_TRUE(test::waitFor(
        [&] { return (sheet = f.window->findChild<QMessageBox*>("confirmationSheet")) && sheet->isVisible(); }));
    QTest::qWait(300);
    save(QGuiApplication::primaryScreen()->grabWindow(0).toImage(), "usb-caution-sheet.png");
    sheet->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(transport->gate.waitHeld());
    QTest::qWait(400);
    save(f.window->grab().toImage(), "usb-tab-upgrading.png");
    // A chip plugged in meanwhile is listed, but the controls stay off and
    // the upgraded chip stays selected.
    auto newcomer = f.plug(3, {.productId = 0x6221, .version = "ZK6221 Newcomer"});
    QTest::qWait(300);
    EXPECT_EQ(f.comboItems("deviceComboBox"), (std::vector<std::string>{"ZK6221", "ZK6221"}));  // ZK6121 narrowed away
    EXPECT_EQ(f.widget<QComboBox>("deviceComboBox")->currentIndex(), 0);
    EXPECT_FALSE(f.widget<QComboBox>("deviceComboBox")->isEnabled());
    EXPECT_TRUE(newcomer->transcript().empty());
    save(f.window->grab().toImage(), "usb-tab-plugged-during-upgrade.png");
    transport->gate.release();
    f.window->waitForUpgrade();

    f.widget<QTabWidget>("tabWidget")->setCurrentIndex(1);
    f.addDisplay();
    f.window->AUXGetStatus();
    QTest::qWait(300);
    save(f.window->grab().toImage(), "aux-tab.png");

    auto gate = std::make_shared<test::Gate>();
    f.useDisplays(gate);
    gate->arm(6000);
    f.window->AUXUpdateProductFirmware();
    ASSERT_TRUE(test::waitFor(
        [&] { return (sheet = f.window->findChild<QMessageBox*>("confirmationSheet")) && sheet->isVisible(); }));
    sheet->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(gate->waitHeld());
    QTest::qWait(400);
    save(f.window->grab().toImage(), "aux-tab-upgrading.png");
    gate->release();
    f.window->waitForUpgrade();
    EXPECT_EQ(f.presenter->alerts().size(), 2u);  // the two completion alerts
}

}  // namespace
}  // namespace quorvel
