"""The order of the examples gallery: first what the methods do, then how to feed them."""

ORDER = [
    "plot_two_moons.py",
    "plot_postprocessing.py",
    "plot_predict_proba.py",
    "plot_choosing_parameters.py",
    "plot_string_labels.py",
    "plot_precomputed_graph.py",
    "plot_sparse_digits.py",
    "plot_sample_weight.py",
    "plot_command_line.py",
]


class ExampleOrder:
    """Sort key of sphinx-gallery: listed examples in ORDER, any other after, by name."""

    def __init__(self, src_dir):
        self.src_dir = src_dir

    def __call__(self, filename):
        return (ORDER.index(filename), "") if filename in ORDER else (len(ORDER), filename)
