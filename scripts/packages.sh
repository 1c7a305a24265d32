# The Debian packages the build and the tests need (sourced by the scripts).
QV_BUILD_PACKAGES=(g++ cmake make pkg-config libasio-dev libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev tzdata)
# file and python3-pil read the bitmaps back, as any image tool would.
QV_TEST_PACKAGES=(python3-aiosmtpd postfix file python3-pil)
# Answers for debconf before those packages are installed: postfix is there for
# its smtp-sink test server only, so no mail system is configured or started.
QV_DEBCONF_SELECTIONS=("postfix postfix/main_mailer_type select No configuration")
QV_BENCH_PACKAGES=(libbenchmark-dev)
