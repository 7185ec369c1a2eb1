# The two commands of the README:
#   make demo   builds the agent and starts a JVM with it
#   make test   builds everything and runs every test, the cross targets'
#               too when their toolchains are installed, and ends with the
#               tests run, passed and skipped per target and per JDK, why
#               each target not tested was not, and the overall count
#   make dist   builds every target whose toolchain is installed and lays
#               out dist/ and build/tarsil.zip
#   make bench  prints the benchmark figures (not part of the tests)
#   make conformance  runs the JDK's own java.lang.instrument tests with the
#               JDK's agent and through the library, on JDK 17 and 25 (long;
#               `make test` runs four of them on JDK 17)
# TARSIL_CROSS=0 leaves the cross targets out of test and dist.
# test and dist make the Debian chroots (tools/chroots.sh, as root; reused
# once made) in which the shipped Linux libraries are built for glibc 2.17
# and the JVM tests run on Java 8, 11, 17, 21, 25, 26, 27 and 28. The macOS
# targets are built and checked, never run.
JAVA_HOME ?= /usr/lib/jvm/java-17-openjdk-amd64
JAVA := $(JAVA_HOME)/bin/java
LIBRARY := build/release/src/libtarsil64.so
# The x86-64 library dist/ ships: built for glibc 2.17 when the chroot
# exists, else this machine's build.
SHIPPED_LIBRARY = $(firstword $(wildcard build/floor-x86_64/src/libtarsil64.so) $(LIBRARY))
AGENT_JAR := build/release/java/tarsil.jar
DIST := dist

.PHONY: demo test bench conformance dist host-dist deps chroots floor release asan cross cross-test clean

CROSS_TARGETS := linux-i386 linux-aarch64 windows-x86_64 windows-i386 macos-x86_64 macos-arm64
TARSIL_CROSS ?= 1
# What the summary of the tests is made from (tools/test-summary.sh): each
# target's results or the reason it was not tested, made afresh by each run.
RESULTS := build/test-summary

# Everything is installed before anything is built: the multiarch installs
# of the cross toolchains may upgrade the build machine's own JDK.
# The cross toolchains are installed where that can be done (as root), one
# target at a time; a target whose packages the mirror cannot serve is
# skipped, and only a package name that does not exist fails the run.
deps:
	@sh tools/install-deps.sh
	@mkdir -p $(RESULTS) && rm -f $(RESULTS)/*.xml $(RESULTS)/*.skip $(RESULTS)/install.txt
	@if [ "$(TARSIL_CROSS)" = 1 ]; then sh tools/install-cross.sh --report $(RESULTS)/install.txt; fi

# The demo needs the build machine's library only.
demo: TARSIL_CROSS = 0

# Each installed cross target, configured and built; the others named.
cross: deps
	@TARSIL_CROSS=$(TARSIL_CROSS) sh tools/cross-targets.sh build $(RESULTS) $(CROSS_TARGETS)

cross-test: cross
	@TARSIL_CROSS=$(TARSIL_CROSS) sh tools/cross-targets.sh test $(RESULTS) $(CROSS_TARGETS)

chroots: deps
	@sh tools/chroots.sh

# The shipped Linux libraries, built in the bullseye chroot (SKIP without it).
floor: chroots
	@sh tools/floor-build.sh $(CURDIR)

release: deps
	cmake --preset release
	cmake --build --preset release

asan: deps
	cmake --preset asan
	cmake --build --preset asan

# The distribution layout, as a user receives it: the agent jars at the top,
# the libraries in lib/ (found by -agentpath), the aarch64 library in
# lib-aarch64/ because the library looks for tarsil.jar in its folder's
# parent first. Only the targets that were built are laid out.
dist: floor host-dist cross
	rm -f build/tarsil.zip
	sh tools/dist-layout.sh build $(DIST)
	cd $(DIST) && zip -qr ../build/tarsil.zip .
	sh tools/check-dist.sh $(DIST)
	@echo "dist: $$(cd $(DIST) && find . -type f | sort | tr '\n' ' ')"

# The build machine's own library and the jars: all the demo needs.
host-dist: release
	rm -rf $(DIST) && mkdir -p $(DIST)/lib
	cp $(SHIPPED_LIBRARY) $(DIST)/lib/
	cp $(AGENT_JAR) build/release/java/ts-debugger-proxy.jar $(DIST)/

demo: host-dist
	sh java/demo/run-demo.sh $(CURDIR)/$(DIST) $(JAVA_HOME)

# The instruction counts first (class load, redefinition, retransformation,
# with the JDK's agent and with the library, and where the library's go),
# then Tomcat's start-up, the microbenchmarks and the wall-clock rounds.
# They need the build machine's library only.
bench: TARSIL_CROSS = 0
bench: release
	sh tools/bench-instructions.sh $(CURDIR)/$(LIBRARY) $(CURDIR)/build/release/java/tarsil-bench.jar \
	  $(CURDIR)/build/release/java/bench.jar $(JAVA_HOME)
	sh tools/bench-tomcat.sh $(CURDIR)/$(LIBRARY) $(CURDIR)/$(AGENT_JAR) \
	  $(CURDIR)/build/release/java/noop-javaagent.jar $(JAVA_HOME)
	cmake --build --preset release --target bench
	sh tools/bench-classload.sh $(CURDIR)/$(LIBRARY) $(CURDIR)/build/release/java/tarsil-bench.jar \
	  $(CURDIR)/build/release/java/bench.jar $(JAVA_HOME)
	sh tools/bench-startup.sh $(CURDIR)/$(LIBRARY) $(CURDIR)/$(AGENT_JAR) \
	  $(CURDIR)/build/release/java/noop-javaagent.jar $(JAVA_HOME)

# The cross targets are built before any test runs: the release unit tests
# read the macOS targets' probe dylibs. Every target is tested even when one
# fails, so that the summary comes last and tells them all.
test: floor release asan cross
	@status=0; \
	ctest --preset release --output-junit $(CURDIR)/$(RESULTS)/release.xml || status=1; \
	ctest --preset asan --output-junit $(CURDIR)/$(RESULTS)/asan.xml || status=1; \
	sh tools/conformance.sh --build build/release --jdk 17 --subset \
	  --junit $(CURDIR)/$(RESULTS)/conformance.xml || status=1; \
	TARSIL_CROSS=$(TARSIL_CROSS) sh tools/cross-targets.sh test $(RESULTS) $(CROSS_TARGETS) || status=1; \
	sh tools/test-summary.sh $(RESULTS) release asan conformance $(CROSS_TARGETS) || status=1; \
	exit $$status

clean:
	rm -rf build $(DIST)
