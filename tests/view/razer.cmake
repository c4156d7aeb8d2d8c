# The page with a mouse of OpenRazer's real daemon: the real program against Debian's
# openrazer-daemon on a private session bus with a fake wireless mouse (tests/view/e2e_razer.mjs;
# skips, saying why, without the daemon, which the build fetches for test_razerd).
kelv_page_test(view_razer e2e_razer.mjs ENVIRONMENT ${KELV_OPENRAZER_ENV})
