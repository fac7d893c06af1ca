# Set-up commands: `make` builds build/quillmar, `make test` runs every test
# under the sanitizers, `make demo` runs the gateway on the example installation,
# `make install` installs under $(PREFIX) (staged under $(DESTDIR) when set),
# `make deb` builds a Debian package in build/deb/package.
# demo, test, deb and fuzz first install what they lack (tools/setup-deps; as
# root, otherwise it prints the command and stops); SETUP_DEPS=: skips that.
# `make test NO_SKIP=1` (.ci/run) fails when any test skipped.
JOBS ?= 2
SETUP_DEPS ?= tools/setup-deps
NO_SKIP ?=
PREFIX ?= /usr/local
DESTDIR ?=
CMAKE_GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
LAUNCHER := $(shell command -v ccache >/dev/null 2>&1 && echo "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")

.PHONY: all build test test-only demo compare bench bench-limit bench-soup install deb clean format fuzz fuzz-build \
  fuzz-long fuzz-merge

all: build

build:
	cmake -S . -B build/release $(CMAKE_GEN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/release -j $(JOBS)
	cp build/release/quillmar build/quillmar
	cp build/release/quillmar-soup build/quillmar-soup

# The summary after ctest names every skipped test with its reason.
test:
	$(SETUP_DEPS) test
	$(MAKE) --no-print-directory test-only

test-only:
	cmake -S . -B build/test $(CMAKE_GEN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Debug \
	  -DQUILLMAR_SANITIZE=ON -DQUILLMAR_TESTS=ON >/dev/null
	cmake --build build/test -j $(JOBS)
	cd build/test && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS); \
	  status=$$?; ../../tools/test-summary $(if $(NO_SKIP),--no-skip) Testing/Temporary/LastTest.log \
	  || status=1; exit $$status

# The whole exchange on a copy of the example installation: quillmar-soup
# collects the example Maildir into the SOUP packet, IMPORT, EXPORT, PACK.
demo:
	$(SETUP_DEPS) build
	$(MAKE) --no-print-directory build
	rm -rf build/demo && cp -r examples build/demo
	mkdir -p build/demo/Maildir/cur build/demo/Maildir/tmp
	echo 'SoupMaildir ./Maildir/' >>build/demo/QUILLMAR.CFG
	chmod o-r build/demo/QUILLMAR.CFG build/demo/lists/DEV.CFG
	cd build/demo && ../quillmar CHECK /CONFIG=./QUILLMAR.CFG
	cd build/demo && ../quillmar-soup collect /VERBOSE /CONFIG=./QUILLMAR.CFG
	cd build/demo && cat soup/AREAS
	cd build/demo && ../quillmar IMPORT /VERBOSE /CONFIG=./QUILLMAR.CFG
	cd build/demo && ls -l inbound
	cd build/demo && ../quillmar EXPORT /VERBOSE /CONFIG=./QUILLMAR.CFG
	cd build/demo && cat soup/REPLIES
	cd build/demo && ../quillmar PACK /VERBOSE /CONFIG=./QUILLMAR.CFG
	cd build/demo && tail -n 17 lists/DEV.CFG

install: build
	DESTDIR="$(DESTDIR)" cmake --install build/release --prefix "$(PREFIX)"

# The Debian package: a release build with Debian's build flags (hardening;
# -Wdate-time left out, as the banner names the build date) in build/deb,
# packaged by contrib/debian/build-deb into build/deb/package/.
DEB_FLAGS := DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CPPFLAGS_MAINT_STRIP=-Wdate-time
deb:
	$(SETUP_DEPS) deb
	CXXFLAGS="$$($(DEB_FLAGS) dpkg-buildflags --get CXXFLAGS) $$($(DEB_FLAGS) dpkg-buildflags --get CPPFLAGS)" \
	  LDFLAGS="$$($(DEB_FLAGS) dpkg-buildflags --get LDFLAGS)" \
	  cmake -S . -B build/deb $(CMAKE_GEN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Release \
	  -DQUILLMAR_SYSTEM_CONFIG=/etc/quillmar/QUILLMAR.CFG >/dev/null
	cmake --build build/deb -j $(JOBS)
	contrib/debian/build-deb build/deb build/deb/package

# The libFuzzer targets of fuzz/ (clang): `make fuzz` runs each for
# FUZZ_SECONDS on its kept corpus (fuzz/corpus, fuzz/regressions; new inputs
# go to build/fuzz/corpus/<target>, crashes to build/fuzz/crashes/ and end
# the run); `make fuzz-long` runs a campaign of FUZZ_LONG_SECONDS per target
# with -fork on every core and goes on past crashes; `make fuzz-merge`
# minimises the kept corpus with what the runs found. Each writes the table
# build/fuzz/summary.md. FUZZ_TARGETS narrows the list. `make test` replays
# every kept input through its target (quillmar_fuzz_replay, no clang).
FUZZ_SECONDS ?= 60
FUZZ_LONG_SECONDS ?= 3600
FUZZ_TARGETS ?= config areas header_values mime_words soup_message soup_import list_mail \
  list_commands export_packet packet_read stored_message stored_read flow_file list_pack \
  soup_deliver soup_collect soup_nntp

fuzz-build:
	$(SETUP_DEPS) build fuzz
	cmake -S . -B build/fuzz $(CMAKE_GEN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DQUILLMAR_FUZZ=ON >/dev/null
	cmake --build build/fuzz -j $(JOBS)

fuzz: fuzz-build
	fuzz/run $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-long: fuzz-build
	fuzz/run --long $(FUZZ_LONG_SECONDS) $(FUZZ_TARGETS)

fuzz-merge: fuzz-build
	fuzz/run --merge $(FUZZ_TARGETS)

# Byte-for-byte comparison of this build's outputs with another binary's:
# make compare BASELINE=/path/to/quillmar [COMPARE_N=20000]
COMPARE_N ?= 20000
compare: build
	@test -n "$(BASELINE)" || { echo "usage: make compare BASELINE=/path/to/quillmar" >&2; exit 2; }
	nice tools/compare.sh $(BASELINE) build/quillmar $(COMPARE_N)

# Speed and memory of the release binary on generated workloads (never part
# of `make test`): make bench [BENCH_POINTS="1000 20000 100000"] [BENCH_REPS=3]
# [BENCH_BASELINE=/path/to/older/quillmar]. It starts with the share of the
# durable-copy limit (`dd conv=fsync` of the same input) of each workload,
# which `make bench-limit` prints alone [LIMIT_N=20000] [LIMIT_REPS=5];
# `make bench-limit LIMIT_CHECK=1` fails when a share is below its floor.
BENCH_POINTS ?= 1000 20000 100000
BENCH_REPS ?= 3
LIMIT_N ?= 20000
LIMIT_REPS ?= 5
bench: build
	tools/bench/limit.sh --quillmar build/quillmar --n $(LIMIT_N) --reps $(LIMIT_REPS)
	tools/bench/bench.sh --quillmar build/quillmar --points "$(BENCH_POINTS)" --reps $(BENCH_REPS) \
	  $(if $(BENCH_BASELINE),--baseline $(BENCH_BASELINE))

bench-limit: build
	tools/bench/limit.sh --quillmar build/quillmar --n $(LIMIT_N) --reps $(LIMIT_REPS) \
	  $(if $(filter 1,$(LIMIT_CHECK)),--check)

# quillmar-soup collect against suck and slrnpull (when installed) on the same
# INN group, at 127.0.0.1 and through a delaying proxy (never part of `make
# test`): make bench-soup [SOUP_BENCH_POINTS="5000@0 200@20"] [SOUP_BENCH_REPS=3]
SOUP_BENCH_POINTS ?= 5000@0 200@20
SOUP_BENCH_REPS ?= 3
bench-soup: build
	tools/bench/bench-soup.sh --soup build/quillmar-soup --points "$(SOUP_BENCH_POINTS)" \
	  --reps $(SOUP_BENCH_REPS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
