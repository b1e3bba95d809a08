import vellix


def test_module_attributes():
    assert vellix.__version__ == "0.1.0"
    assert vellix.__doc__ == "Vellix \u2014 high-performance PDF text and image extraction."
    assert vellix.__name__ == "vellix"
