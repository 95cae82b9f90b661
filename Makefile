# korbalt: `make run` and `make test` are all a fresh Debian machine needs.
JOBS   ?= $(shell nproc)
BUILD  ?= build
SANBLD ?= build-san

.PHONY: all deps build build-san run test clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	@cmake -S . -B $(SANBLD) -DCMAKE_BUILD_TYPE=Debug -DKORBALT_SANITIZE=ON >/dev/null
	@cmake --build $(SANBLD) -j $(JOBS)

run: build
	@mkdir -p out
	@./$(BUILD)/korbalt -report_dst ./out/ -report_name sample -f samples/sample.ts; \
	echo "report: out/sample   log: out/sample_log.txt"; \
	if [ -f out/sample ]; then echo; cat out/sample; fi

test: build build-san
	@echo "== tests (normal build) =="
	@cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --timeout 300
	@echo "== tests (address and undefined-behaviour sanitizers) =="
	@cd $(SANBLD) && ASAN_OPTIONS=detect_leaks=1 ctest -j $(JOBS) --output-on-failure --timeout 600

clean:
	rm -rf $(BUILD) $(SANBLD) out
