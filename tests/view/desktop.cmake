# The program on the user's desktop: maximise with two screens (xrandr's
# monitors on Xvfb), the System screen against the desktop's own store, a
# profile folder kelv cannot write; in the real program under Xvfb.
kelv_page_test(view_desktop desktop_e2e.mjs)
