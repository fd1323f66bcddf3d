#include <QProcess>
#include <QtTest>

// The DOM keeps attributes in a hash with a per-process random seed; the same input
// must still give the same bytes in every run of a program.
class tst_Determinism : public QObject
{
    Q_OBJECT

private slots:
    void sameOutputInEveryProcess();
};

void tst_Determinism::sameOutputInEveryProcess()
{
    const QString probe = QCoreApplication::applicationDirPath() + "/adjustprobe";
    const QString input = QFINDTESTDATA("../data/many-attributes.xml");
    QVERIFY(!input.isEmpty());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_HASH_SEED");
    QByteArray first;
    for (int run = 0; run < 5; ++run) {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(probe, {input, "lat", "0.5"});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray output = process.readAllStandardOutput();
        QVERIFY(output.contains("lat=\"52.5\""));
        if (run == 0)
            first = output;
        else
            QCOMPARE(output, first);
    }
}

QTEST_GUILESS_MAIN(tst_Determinism)
#include "tst_determinism.moc"
