# A new user's first half hour at the default window size, driven by pointer
# and keys in the real program under Xvfb.
kelv_page_test(view_everyday everyday.mjs)
