"""The checks of a Python test driver: each failure is kept with what it
was about, and the run ends with all of them and one verdict line."""


class Checks:
    def __init__(self):
        self.failures = []

    def equal(self, actual, expected, what):
        if actual != expected:
            self.failures.append("%s:\n      got      %r\n      expected %r" % (what, actual,
                                                                                 expected))
        return actual == expected

    def true(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition

    def finish(self, name):
        if self.failures:
            print("FAILED %s:" % name)
            for f in self.failures:
                print("  - " + f)
            return 1
        print("%s passed" % name)
        return 0
