# Unit tests on the fake browser.
