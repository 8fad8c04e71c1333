"""What the check scripts share: failures gathered as they are found, then
reported in one list and an exit code."""


class Checks:
    def __init__(self):
        self.failures = []

    def __call__(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition

    def report(self, summary=''):
        for failure in self.failures:
            print('FAIL', failure)
        print(f'{len(self.failures)} failures' + (f' ({summary})' if summary else ''))
        return 1 if self.failures else 0
