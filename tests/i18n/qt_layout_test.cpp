// The Qt window holds every caption in every language: each text a control can show fits the
// rectangle its style draws it in, measured with the control's own font.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <memory>

#include "control_texts.h"
#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "language_param.h"
#include "ui/qt/main_window.h"
#include "ui/shell/controls.h"

namespace vqr::ui::qt {
namespace {

using text::Language;

QString Q(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// The width and height `text` takes in `font`, line by line.
QSize TextSize(const QFont& font, const QString& text) {
  const QFontMetrics metrics(font);
  int width = 0;
  const QStringList lines = text.split(QLatin1Char('\n'));
  for (const QString& line : lines) width = std::max(width, metrics.horizontalAdvance(line));
  return QSize(width, static_cast<int>(lines.size()) * metrics.height());
}

// Where the control draws its text.
QRect TextRect(QWidget* control) {
  if (auto* button = qobject_cast<QPushButton*>(control)) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
  }
  if (auto* group = qobject_cast<QGroupBox*>(control)) {
    // The frame's inner width, less the title's indent on both sides.
    QStyleOptionGroupBox option;
    option.initFrom(group);
    const QRect frame = group->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                       QStyle::SC_GroupBoxFrame, group);
    const int indent = group->fontMetrics().averageCharWidth();
    return frame.adjusted(indent, 0, -indent, 0);
  }
  return control->contentsRect();
}

class QtLayoutTest : public ::testing::TestWithParam<Language> {
 protected:
  void SetUp() override {
    text::SetLanguage(GetParam());
    g_hidCmd.IO().UseBackend(hid::NoDeviceHidBackend());
    WindowOptions options;
    options.startWorker = [](WorkerEntry) { return true; };
    m_window = std::make_unique<MainWindow>(options);
  }
  void TearDown() override {
    m_window.reset();
    text::SetLanguage(Language::kZhTw);
  }
  std::unique_ptr<MainWindow> m_window;
};

TEST_P(QtLayoutTest, EveryTextEachControlCanShowFitsIt) {
  for (const testing::ControlTexts& control : testing::TextsOfControls(GetParam())) {
    QWidget* widget = m_window->Control(control.id);
    ASSERT_NE(widget, nullptr) << control.id;
    const QRect room = TextRect(widget);
    for (const std::u16string& text : control.texts) {
      const QSize needed = TextSize(widget->font(), Q(text));
      EXPECT_LE(needed.width(), room.width())
          << "control 0x" << std::hex << control.id << std::dec << ": \"" << Q(text).toStdString()
          << "\" needs " << needed.width() << " of " << room.width();
      EXPECT_LE(needed.height(), room.height()) << Q(text).toStdString();
    }
  }
}

// What a control shows as its caption.
QString Caption(QWidget* control) {
  if (auto* group = qobject_cast<QGroupBox*>(control)) return group->title();
  if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
  if (auto* button = qobject_cast<QPushButton*>(control)) return button->text();
  if (auto* list = qobject_cast<QComboBox*>(control)) return list->currentText();
  return QStringLiteral("<a control of another kind>");
}

TEST_P(QtLayoutTest, TheWindowAndEveryControlStartWithTheLanguagesCaptions) {
  EXPECT_EQ(m_window->windowTitle(), Q(testing::MainWindowTitle(GetParam())));
  for (const ControlEntry& control : kControls) {
    QWidget* widget = m_window->Control(control.id);
    ASSERT_NE(widget, nullptr) << control.id;
    EXPECT_EQ(Caption(widget), Q(testing::StartingCaption(control, GetParam())))
        << "control 0x" << std::hex << control.id;
  }
}

TEST_P(QtLayoutTest, TheAboutBoxHoldsItsTexts) {
  std::unique_ptr<QDialog> box(CreateAboutBox(m_window.get()));
  for (const char* name : {"text", "0x01"}) {
    QWidget* control = box->findChild<QWidget*>(QString::fromLatin1(name));
    ASSERT_NE(control, nullptr) << name;
    const QString shown = qobject_cast<QLabel*>(control)
                              ? qobject_cast<QLabel*>(control)->text()
                              : qobject_cast<QPushButton*>(control)->text();
    const QSize needed = TextSize(control->font(), shown);
    EXPECT_LE(needed.width(), TextRect(control).width()) << shown.toStdString();
  }
  EXPECT_EQ(box->windowTitle(), Q(text::StringTableEntry(text::kStrAboutCaption)));
}

// The test measures what it should: a caption that cannot fit is found out.
TEST(QtLayoutMeasure, ACaptionTooWideForItsButtonIsSeen) {
  QPushButton button(QStringLiteral("x"));
  button.setGeometry(0, 0, 200, 50);
  const QString wide = QStringLiteral("Downloading the update package from the server...");
  EXPECT_GT(TextSize(button.font(), wide).width(), TextRect(&button).width());
}

INSTANTIATE_TEST_SUITE_P(EveryLanguage, QtLayoutTest, ::testing::ValuesIn(text::kLanguages),
                         vqr::testing::LanguageParamName());

}  // namespace
}  // namespace vqr::ui::qt

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
