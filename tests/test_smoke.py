"""The module imports and evaluates one grid end to end."""

import vemiral as vm


def test_sum_of_two_variables_over_a_two_dimensional_grid(native):
    x = vm.ASTvar(0, 0.0, 1.0)
    y = vm.ASTvar(1, 0.0, 10.0)
    e = vm.ASTbin(vm.ADD, x, y)
    assert e.crinit([2, 3]) is None
    assert e.creval() == [0.0, 10.0, 20.0, 1.0, 11.0, 21.0]
