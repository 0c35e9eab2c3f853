// A log line (engine traces arrive by the thousand with extended logging), a
// list lookup (two or four per message) and a whole-file digest (every file
// of an update). Runs in a temporary HOME.
#include <benchmark/benchmark.h>

#include "QVFileManagerAdditions.h"
#include "QVLogger.h"
#include "QVMailList.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

void logLine(benchmark::State& state) {
    QVLogger& logger =
        QVLogger::sharedLoggerWithDomain(QStringLiteral("Quorvane"), QStringLiteral("Bench"));
    const QString line = QStringLiteral("Network:\t\tServer 192.0.2.17:2409 answered in 23 ms");
    for (auto _ : state) logger.logMessage(line);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(logLine)->Threads(1)->Threads(4);

void listLookup(benchmark::State& state) {
    QVMailList list(QStringLiteral("BenchList%1").arg(state.range(0)));
    for (qsizetype i = list.numberOfItems(); i < state.range(0); ++i)
        list.addItem(QStringLiteral("sender%1@domain%2.example").arg(i).arg(i % 97));
    const QString address = QStringLiteral("Someone@Elsewhere.Example");
    const QString domain = QStringLiteral("elsewhere.example");
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.containsItem(address));
        benchmark::DoNotOptimize(list.containsItem(domain));
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(listLookup)->Arg(100)->Arg(1000);

// A burst of additions as the plug-in's list requests bring them, on a
// thread with an event loop: the list is written coalesced, so the burst
// costs about as much as the additions alone (10,000 in well under a second
// is the goal; one write per addition took 33 s).
void listFlood(benchmark::State& state) {
    int round = 0;
    for (auto _ : state) {
        QVMailList list(QStringLiteral("BenchFlood%1").arg(++round));
        for (qsizetype i = 0; i < state.range(0); ++i)
            list.addItem(QStringLiteral("d%1.flood.example").arg(i));
        QCoreApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(listFlood)->Arg(10'000)->Unit(benchmark::kMillisecond);

void fileDigest(benchmark::State& state) {
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         QStringLiteral("/digest.bin");
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray(state.range(0), 'q'));
    }
    for (auto _ : state) benchmark::DoNotOptimize(QVAdditions::hashOfFileAtPath(path, true));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(fileDigest)->Arg(64 << 10)->Arg(16 << 20);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    QStandardPaths::setTestModeEnabled(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
