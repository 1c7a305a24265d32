# The Debian packages the build and the tests need (sourced by the scripts).
# What the qvsmtp program needs (scripts/demo.sh), then the rest of the build.
QV_DEMO_PACKAGES=(g++ cmake make pkg-config libasio-dev libcli11-dev nlohmann-json3-dev libssl-dev tzdata)
QV_BUILD_PACKAGES=("${QV_DEMO_PACKAGES[@]}" libgtest-dev libgmock-dev)
# file and python3-pil read the bitmaps back, as any image tool would; the
# openssl command makes the private Postfix's test CA and certificates; sasl2-bin
# (saslpasswd2) and libsasl2-modules give it a user who logs in with PLAIN or LOGIN;
# spamassassin scores what the program sends, with the rules the package ships.
QV_TEST_PACKAGES=(python3-aiosmtpd postfix openssl sasl2-bin libsasl2-modules file python3-pil
                  spamassassin)
# The Qt host, its Designer plugin and the mail form; their tests run on an Xvfb
# display and take screenshots (xwd from x11-apps, convert from imagemagick);
# xdotool clicks in Designer.
QV_BUILD_PACKAGES+=(qt6-base-dev qt6-tools-dev qt6-tools-dev-tools designer-qt6 libqt6opengl6-dev)
QV_TEST_PACKAGES+=(xvfb xauth x11-apps imagemagick xdotool)
# Answers for debconf before those packages are installed: postfix is there for
# its smtp-sink test server only, so no mail system is configured or started.
QV_DEBCONF_SELECTIONS=("postfix postfix/main_mailer_type select No configuration")
QV_BENCH_PACKAGES=(libbenchmark-dev)
