# Integration tests on a real headless Chromium (label: browser).
