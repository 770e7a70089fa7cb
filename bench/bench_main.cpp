// kel_database_bench: Google Benchmark's flags apply. The library writes its
// status lines (one per released Connection object) to standard output, so
// the benchmark report goes to standard error, and a machine-readable copy
// to the file named by --benchmark_out (scripts/bench.sh does all of that).
#include "bench_common.h"

#include <kel_database/kel_database.h>
#include <kel_system.h>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <iostream>

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  kel_database_init();
  kel_bench::register_statement_benchmarks();
  kel_bench::register_service_benchmarks();
#ifdef KEL_BENCH_HAVE_KEL_SQL
  kel_bench::register_script_benchmarks();
#endif
#ifdef KEL_BENCH_HAVE_SQLCIPHER
  kel_bench::register_file_benchmarks();
#endif

  benchmark::ConsoleReporter display(isatty(STDERR_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                           : benchmark::ConsoleReporter::OO_Tabular);
  display.SetOutputStream(&std::cerr);
  display.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&display);
  benchmark::Shutdown();
  // Every Connection object has been released by now: the service stops at once.
  kel_system_shutdown();
  return 0;
}
