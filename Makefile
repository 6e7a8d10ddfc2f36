# Paylume: `make run` starts Lumedesk on a demo machine image, `make test` runs every test.
# Both install the Debian packages they need first (as root, or through sudo).

PACKAGES := cmake g++ make pkg-config libsqlite3-dev libssl-dev libgtest-dev libgmock-dev \
            libbenchmark-dev clang libclang-rt-14-dev libpugixml-dev libcurl4-openssl-dev \
            duktape-dev curl openssl libboost-dev
JOBS ?= 2
RELEASE_DIR := build/release
TEST_DIR := build/test
TSAN_DIR := build/tsan
DEMO_MACHINE := build/demo-machine

.PHONY: run test deps build build-test build-tsan clean

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	  $$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEDESK_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j$(JOBS)

build-test: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DLUMEDESK_SANITIZE=ON -DLUMEDESK_WERROR=ON
	cmake --build $(TEST_DIR) -j$(JOBS)

# The same tests once more under ThreadSanitizer: the message loop, the registry and the
# dispatcher are used from several threads.
build-tsan: deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DLUMEDESK_TSAN=ON -DLUMEDESK_WERROR=ON
	cmake --build $(TSAN_DIR) -j$(JOBS)

run: build
	tools/run-demo $(RELEASE_DIR) $(DEMO_MACHINE)

test: build-test build-tsan
	cd $(TEST_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS)
	cd $(TSAN_DIR) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j$(JOBS)
	./fuzz/run

clean:
	rm -rf build
