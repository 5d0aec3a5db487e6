// Whole-Hz refresh rates as Windows reports them for the same timing.
#include "RefreshRate.h"

#include <QTest>

#include <limits>

class TestRefreshRate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void wholeHz_data()
    {
        QTest::addColumn<double>("hz");
        QTest::addColumn<int>("expected");
        // n·1000/1001 is cut down...
        QTest::newRow("59.94") << 59.94 << 59;
        QTest::newRow("59.94006") << 60000.0 / 1001 << 59;
        QTest::newRow("119.88") << 119.88 << 119;
        QTest::newRow("29.97") << 29.97 << 29;
        QTest::newRow("23.976") << 23.976 << 23;
        QTest::newRow("47.952") << 47.952 << 47;
        QTest::newRow("239.76") << 239.76 << 239;
        // ...also in whole mHz from a dot clock in 10 kHz steps (1080p at 74.18 MHz).
        QTest::newRow("23.977") << 23.977 << 23;
        QTest::newRow("29.972") << 29.972 << 29;
        QTest::newRow("119.879") << 119.879 << 119;
        QTest::newRow("143.857") << 143.857 << 143;
        // ...everything else is rounded.
        QTest::newRow("60.00") << 60.0 << 60;
        QTest::newRow("59.95") << 59.95 << 60;
        QTest::newRow("59.946 (CVT 1600x900)") << 118.25e6 / (2112.0 * 934) << 60;
        QTest::newRow("59.92") << 59.92 << 60;
        QTest::newRow("74.97") << 74.97 << 75;
        QTest::newRow("143.98") << 143.98 << 144;
        QTest::newRow("50") << 50.0 << 50;
        QTest::newRow("86.96 (interlaced fields)") << 86.96 << 87;
        QTest::newRow("60.4") << 60.4 << 60;
        QTest::newRow("60.5") << 60.5 << 61;
        // No rate at all.
        QTest::newRow("zero") << 0.0 << 0;
        QTest::newRow("negative") << -60.0 << 0;
        QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << 0;
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << 0;
    }

    void wholeHz()
    {
        QFETCH(double, hz);
        QFETCH(int, expected);
        QCOMPARE(RefreshRate::wholeHz(hz), expected);
    }

    void fromTiming()
    {
        // CEA 1080p at 148.5 MHz and its 1000/1001 variant, as a driver gives them in kHz.
        QCOMPARE(RefreshRate::wholeHz(148500000.0, 2200, 1125), 60);
        QCOMPARE(RefreshRate::wholeHz(148352000.0, 2200, 1125), 59);
        QCOMPARE(RefreshRate::wholeHz(74176000.0, 1650, 750), 59);
        QCOMPARE(RefreshRate::wholeHz(74250000.0, 1650, 750), 60);
        // 1080p at 23.976 and 29.97 Hz timed in 10 kHz steps, next to their whole twins.
        QCOMPARE(RefreshRate::wholeHz(74180000.0, 2750, 1125), 23);
        QCOMPARE(RefreshRate::wholeHz(74250000.0, 2750, 1125), 24);
        QCOMPARE(RefreshRate::wholeHz(74180000.0, 2200, 1125), 29);
        QCOMPARE(RefreshRate::wholeHz(74250000.0, 2200, 1125), 30);
        QCOMPARE(RefreshRate::wholeHz(74250000.0, 0, 750), 0);
        QCOMPARE(RefreshRate::wholeHz(74250000.0, 1650, 0), 0);
    }
};

QTEST_APPLESS_MAIN(TestRefreshRate)
#include "tst_refreshrate.moc"
