# korbalt: `make run` and `make test` are all a fresh Debian machine needs.
JOBS   ?= $(shell nproc)
BUILD  ?= build
SANBLD ?= build-san
TSANBLD ?= build-tsan

.PHONY: all deps build build-san build-tsan run test test-tsan fuzz fuzz-short bench clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	@cmake -S . -B $(SANBLD) -DCMAKE_BUILD_TYPE=Debug -DKORBALT_SANITIZE=ON >/dev/null
	@cmake --build $(SANBLD) -j $(JOBS)

# Analyses the bundled sample into ./out/ and shows the report.
run: build
	@mkdir -p out
	@rm -f out/sample out/sample_log.txt
	@./$(BUILD)/korbalt -report_dst ./out/ -report_name sample -f samples/sample.ts; status=$$?; \
	echo; echo "report: out/sample"; echo "log:    out/sample_log.txt"; \
	if [ -f out/sample ]; then echo; echo "== out/sample =="; cat out/sample; echo; fi; \
	exit $$status

build-tsan: deps
	@cmake -S . -B $(TSANBLD) -DCMAKE_BUILD_TYPE=Debug -DKORBALT_TSAN=ON >/dev/null
	@cmake --build $(TSANBLD) -j $(JOBS)

# The threaded tests under ThreadSanitizer, by suite: queues, the registry and the pool,
# the module PAT, the log and the thread and signal wrappers, the file and UDP readers and the writer,
# the sources and the decoder (Ctrl-C included), the listener and the threaded report,
# whole runs of the executable (also built with the sanitizer), and a few damaged streams.
TSAN_TESTS ?= ^Queue|^SyntaxPsiPat\.ModulePat|Registry\.|^MsgPool\.|^PlatformLog\.|^PlatformThreads\.|^PlatformSignals\.|^PlatformSched\.|^FileInput|^Net|Decoder|CtrlC|^DriverListener\.|^DriverRun\.|^ReportThread\.|^ReportRun\.|DamagedStream\.EndsExitsAndReports/mpeg2_576_16x9_ac3_(PatChangesMidStream|BitFlips0_01_Seed1|ZeroedPackets)
test-tsan: build-tsan
	@echo "== threaded tests (thread sanitizer) =="
	@cd $(TSANBLD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest -j $(JOBS) --output-on-failure --timeout 600 -R '$(TSAN_TESTS)'

fuzz: deps
	@EXTRA_PKGS="clang libclang-rt-14-dev" tools/install-deps.sh
	@tools/fuzz.sh $${FUZZ_SECONDS:-600}

fuzz-short: deps
	@EXTRA_PKGS="clang libclang-rt-14-dev" tools/install-deps.sh
	@tools/fuzz.sh 15

test: build build-san
	@echo "== tests (normal build) =="
	@cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --timeout 300
	@echo "== tests (address and undefined-behaviour sanitizers) =="
	@cd $(SANBLD) && ASAN_OPTIONS=detect_leaks=1 ctest -j $(JOBS) --output-on-failure --timeout 600
	@$(MAKE) --no-print-directory test-tsan
	@echo "== fuzz targets, short run =="
	@$(MAKE) --no-print-directory fuzz-short

# Throughput: korbalt against cat, tsreport and ffprobe on a ~1 GB page-cached stream,
# then the hot-path micro-benchmarks. RUNS, SIZE_MB, STREAM=concat: see tools/bench.sh.
# Google Benchmark goes in before the configure step, so that korbalt_bench is defined.
bench:
	@EXTRA_PKGS="time libbenchmark-dev tstools" tools/install-deps.sh
	@$(MAKE) --no-print-directory build
	@BUILD=$(BUILD) tools/bench.sh

clean:
	rm -rf $(BUILD) $(SANBLD) build-tsan build-fuzz out
