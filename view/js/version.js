// The page's own version (the page can be updated apart from the program).
export const PAGE_VERSION = '1.0.0';
