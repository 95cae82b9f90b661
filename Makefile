# korbalt: `make run` and `make test` are all a fresh Debian machine needs.
JOBS   ?= $(shell nproc)
BUILD  ?= build
SANBLD ?= build-san

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
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKORBALT_TSAN=ON >/dev/null
	@cmake --build build-tsan -j $(JOBS)

# The threaded tests (readers, listener, pool, registry, Ctrl-C) under ThreadSanitizer.
TSAN_TESTS ?= Queue|Registry|Pool|Logger|Listener|Reader|Writer|Source|Decoder|CtrlC|Network
test-tsan: build-tsan
	@echo "== threaded tests (thread sanitizer) =="
	@cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest -j $(JOBS) --output-on-failure --timeout 600 -R '$(TSAN_TESTS)'

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

bench: build
	@tools/bench.sh

clean:
	rm -rf $(BUILD) $(SANBLD) build-tsan build-fuzz out
