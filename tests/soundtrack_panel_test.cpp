// SPDX-License-Identifier: GPL-3.0-or-later
// The soundtrack panel on a folder of generated tracks: one seamless, one
// clicking, one without audio; verdicts filled in, kept current on Save, and
// tracks opened by Ctrl+Page Down, Ctrl+Page Up and Enter as Open does.
#include "cli/pos_tool.h"
#include "core/pos_file.h"
#include "tests/views_fixture.h"

#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QTreeWidget>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

constexpr std::int64_t kPeriod = 20000;
constexpr std::int32_t kClickStop = 10 * 200 + 50;

// Noise repeating every kPeriod frames: a loop of one period is an exact copy.
void writeRepeatingNoise(const std::filesystem::path& path) {
    std::vector<short> samples(static_cast<std::size_t>(4 * kPeriod));
    std::uint32_t x = 4242;
    for (std::size_t n = 0; n < samples.size(); ++n) {
        if (n % kPeriod == 0)
            x = 4242;
        x = x * 1664525u + 1013904223u;
        samples[n] = static_cast<short>(static_cast<int>((x >> 16) % 20000) - 10000);
    }
    writeShortWave(path, samples, 1);
}

class SoundtrackPanelTest : public ViewsFixture {
protected:
    void SetUp() override {
        ViewsFixture::SetUp();
        writeRepeatingNoise(m_scratch.path() / "A.WAV");
        WritePosFile(m_scratch.path() / "A.POS", {kPeriod, 2 * kPeriod});
        // A sine of 200 frames left at its peak for its zero: a step.
        writeTone(m_scratch.path() / "b.wav", 4 * kPeriod, 2 * M_PI / 200);
        WritePosFile(m_scratch.path() / "b.pos", {200, kClickStop});
        WritePosFile(m_scratch.path() / "C.Pos", {0, 100});
        WritePosFile(m_scratch.path() / "notes.txt", {0, 100});
        open("A.POS");
        m_list = m_window->findChild<QTreeWidget*>(QStringLiteral("soundtrackList"));
        ASSERT_NE(m_list, nullptr);
    }
    QStringList column(int c) const {
        QStringList v;
        for (int i = 0; i < m_list->topLevelItemCount(); ++i)
            v << m_list->topLevelItem(i)->text(c);
        return v;
    }
    bool judged() const { return !column(1).contains(QStringLiteral("judging...")); }
    QString opened() const { return QFileInfo(m_window->currentFile()).fileName(); }

    QTreeWidget* m_list = nullptr;
};

TEST_F(SoundtrackPanelTest, ListsTheFolderWithVerdictsAndOpensNeighbours) {
    EXPECT_EQ(column(0), (QStringList{"A.POS", "b.pos", "C.Pos"}));
    ASSERT_TRUE(QTest::qWaitFor([this] { return judged(); }, 30000))
        << column(1).join(u',').toStdString();
    EXPECT_EQ(column(1), (QStringList{"seamless", "click", "no audio"}));
    EXPECT_EQ(m_list->currentItem()->text(0), "A.POS");

    QTest::keyClick(m_window.get(), Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(opened(), "b.pos");
    EXPECT_EQ(status(), "b.pos Loaded...");
    EXPECT_EQ(text("txtStopTime"), QString::number(kClickStop));
    EXPECT_EQ(m_list->currentItem()->text(0), "b.pos");
    QTest::keyClick(m_window.get(), Qt::Key_PageDown, Qt::ControlModifier);
    QTest::keyClick(m_window.get(), Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(opened(), "C.Pos") << "past the last track nothing opens";
    QTest::keyClick(m_window.get(), Qt::Key_PageUp, Qt::ControlModifier);
    EXPECT_EQ(opened(), "b.pos");

    // Enter on a row opens it.
    m_list->setFocus(Qt::TabFocusReason);
    QTest::keyClick(m_list, Qt::Key_Home);
    QTest::keyClick(m_list, Qt::Key_Return);
    EXPECT_EQ(opened(), "A.POS");
    EXPECT_EQ(text("txtStartTime"), QString::number(kPeriod));

    // A saved change is judged again.
    typeInto("txtStopTime", QString::number(2 * kPeriod + 7001));
    QTest::keyClick(m_window.get(), Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([this] { return column(1).value(0) == "soft"; }, 30000))
        << column(1).value(0).toStdString();
    // Another program writing a file in place.
    WritePosFile(m_scratch.path() / "b.pos", {200, 2000});
    ASSERT_TRUE(QTest::qWaitFor([this] { return column(1).value(1) == "seamless"; }, 30000))
        << column(1).value(1).toStdString();
}

// More tracks than cores, of every kind, judged side by side: each row says
// what check says of its file.
TEST_F(SoundtrackPanelTest, VerdictsAreCheckVerdicts) {
    const std::filesystem::path dir = m_scratch.path();
    // Seamless, soft, a click on the tone, beyond the audio, a problem.
    const std::vector<PosValues> loops{{kPeriod, 2 * kPeriod},
                                       {kPeriod, 2 * kPeriod + 7001},
                                       {200, kClickStop},
                                       {0, 9 * kPeriod},
                                       {-5, 9}};
    for (std::size_t i = 0; i < 15; ++i) {
        std::string name = "T";
        name.append(std::to_string(10 + i)); // GCC 12's release build sees an overlap in "T" + s
        std::filesystem::copy_file(dir / (i % 5 == 2 ? "b.wav" : "A.WAV"), dir / (name + ".WAV"));
        WritePosFile(dir / (name + ".POS"), loops[i % 5]);
    }
    open("T10.POS");
    ASSERT_TRUE(QTest::qWaitFor([this] { return column(0).size() == 18 && judged(); }, 60000));
    std::ostringstream out, err;
    cli::RunPosTool({"check", "--json", dir.string()}, out, err);
    QHash<QString, QString> checked; // check lists by bytes, the panel ignoring case
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        checked[QFileInfo(o["file"].toString()).fileName()] =
            o["seam"].isObject() ? o["seam"]["verdict"].toString()
                                 : (o["audio"].isNull() ? "no audio" : "a problem");
    }
    QStringList expected;
    for (const QString& name : column(0))
        expected << checked.value(name);
    EXPECT_EQ(column(1), expected) << err.str();
    EXPECT_EQ(QSet<QString>(expected.begin(), expected.end()).size(), 5);
}

// A name of 156 characters, with "—" and accents, gives up its middle and
// leaves every row's verdict in view.
TEST_F(SoundtrackPanelTest, ALongNameLeavesTheSeamColumnInView) {
    const QString name = QStringLiteral(
        "Überlänge — Ouvertüre für Streicher, Bläser und Chor in drei Sätzen, aufgenommen im "
        "Großen Saal — Fassung letzter Hand, ungekürzt, mit Wiederholungen Teil 1.POS");
    WritePosFile(m_scratch.path() / name.toStdString(), {0, 100});
    ASSERT_TRUE(QTest::qWaitFor([&] { return column(0).contains(name) && judged(); }, 30000));
    const QHeaderView* header = m_list->header();
    EXPECT_LE(header->sectionViewportPosition(1) + header->sectionSize(1),
              m_list->viewport()->width());
    EXPECT_GE(header->sectionSize(1), header->sectionSizeHint(1));
}

} // namespace
