# The page with real mice: the real program against libratbag's ratbagd.devel on a private
# bus (tests/view/e2e_ratbagd.mjs; skips, saying why, without the daemon).
kelv_page_test(view_ratbagd e2e_ratbagd.mjs ENVIRONMENT ${KELV_RATBAGD_ENV})
