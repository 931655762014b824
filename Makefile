# Convenience front end over CMake.  The two set-up commands of README.md:
#   make demo   build the program alone, then pack a sample folder, list it,
#               extract it elsewhere, compare
#   make test   build, then run the whole test suite
BUILD ?= build
SAN_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
CMAKE_ARGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
WIN32_BUILD ?= build-win32
WIN64_BUILD ?= build-win64

.PHONY: all deps build demo test test-sanitize fuzz windows test-wine install clean bench-compare

all: build

deps:
	@scripts/ensure-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

# Only the program: a newcomer's first command stays quick.
demo: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS) --target vorn
	scripts/demo.sh $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DVORN_SANITIZE=ON -DVORN_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug $(CMAKE_ARGS)
	cmake --build $(SAN_BUILD) -j$(JOBS)
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j$(JOBS)

# Under libFuzzer (clang), each for FUZZ_SECONDS: the archive loader with
# the view walk, whole runs (extract, rewrite, modify) on hostile archives,
# whole runs from hostile command lines and argument files, the two wildcard
# matchers against reference matchers, and the message-file tool.  The archive
# targets start from archives made by scripts/fuzz-seeds.sh, the others from
# the seeds in fuzz/corpus/.  (Several targets work in a folder of their own,
# so the corpus path is absolute.)
FUZZ_TARGETS ?= fuzz_load fuzz_runs fuzz_args fuzz_match fuzz_msgfile
fuzz: build
	@scripts/ensure-deps.sh --clang
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DVORN_FUZZ=ON -DVORN_SANITIZE=ON -DVORN_TESTS=OFF -DVORN_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(FUZZ_TARGETS)
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus-$$t && \
	  if [ -d fuzz/corpus/$$t ]; then cp fuzz/corpus/$$t/* $(FUZZ_BUILD)/corpus-$$t/; \
	  else scripts/fuzz-seeds.sh $(BUILD)/vorn $(FUZZ_BUILD)/corpus-$$t; fi && \
	  { $(FUZZ_BUILD)/$$t -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
	    $(CURDIR)/$(FUZZ_BUILD)/corpus-$$t > $(FUZZ_BUILD)/$$t.log 2>&1; rc=$$?; } && \
	  if [ $$rc -ne 0 ]; then tail -n 80 $(FUZZ_BUILD)/$$t.log; exit 1; fi && \
	  echo "$$t: $$(grep -E '^Done [0-9]+ runs' $(FUZZ_BUILD)/$$t.log)" || exit 1; \
	done

# vorn against zip, gzip, pigz, 7z and single-stream zlib on the shared corpus.
bench-compare: build
	bench/compare.sh $(BUILD)

# Windows console executables cross-compiled with MinGW-w64 (zlib linked in):
# $(WIN32_BUILD)/vorn.exe (32-bit) and $(WIN64_BUILD)/vorn.exe (64-bit).
windows:
	@scripts/ensure-deps.sh --windows
	cmake -S . -B $(WIN32_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DVORN_WIN_ARCH=i686 $(CMAKE_ARGS)
	cmake --build $(WIN32_BUILD) -j$(JOBS)
	cmake -S . -B $(WIN64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DVORN_WIN_ARCH=x86_64 $(CMAKE_ARGS)
	cmake --build $(WIN64_BUILD) -j$(JOBS)

# The end-to-end tests against the Windows executables under Wine, and the
# archives of each build read by the other.
test-wine: build windows
	scripts/wine-tests.sh $(BUILD) $(WIN32_BUILD) $(WIN64_BUILD)

install: build
	cmake --install $(BUILD)

# Removes what the last install from $(BUILD) wrote (the program, its two
# links, the manual page and its links), as listed in the install manifest;
# DESTDIR as for the install.
.PHONY: uninstall
uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "uninstall: no $(BUILD)/install_manifest.txt (nothing installed from $(BUILD))"; exit 1; }
	@while IFS= read -r f || [ -n "$$f" ]; do \
	  if [ -e "$(DESTDIR)$$f" ] || [ -L "$(DESTDIR)$$f" ]; then rm -f -- "$(DESTDIR)$$f" && echo "removed $(DESTDIR)$$f"; fi; \
	done < $(BUILD)/install_manifest.txt

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(WIN32_BUILD) $(WIN64_BUILD)
