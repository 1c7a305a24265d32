# The Debian packages the build and the tests need (sourced by the scripts).
QV_BUILD_PACKAGES=(g++ cmake make pkg-config libasio-dev libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev tzdata)
QV_TEST_PACKAGES=(python3-aiosmtpd postfix)
QV_BENCH_PACKAGES=(libbenchmark-dev)
