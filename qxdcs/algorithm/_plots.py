"""Step-response grid of a model dictionary, drawn with Matplotlib.

Called by qxProcessSim.plot_model_stp once it has found Matplotlib and
computed the responses; Matplotlib is imported here, only when a plot is drawn.
"""


def plot_step_grid(cv_list, mv_list, stp):
    """One cell per CV/MV pair (a row per CV, a column per MV), filled row by
    row: the response stp[cv][mv] against its sample number, titled "CV-MV".
    Cells of flat responses (empty lists) hide their tick labels."""
    import matplotlib.pyplot as plt
    from matplotlib import gridspec

    # Process-wide settings, kept after the call: a font with Chinese glyphs
    # for Chinese tag names, and a plain hyphen for minus signs.
    plt.rcParams["font.sans-serif"] = ["SimHei"]
    plt.rcParams["axes.unicode_minus"] = False

    cv_num, mv_num = len(cv_list), len(mv_list)
    plt.figure(figsize=(5 * mv_num, 5 * cv_num), facecolor="w", tight_layout=True)
    grid = gridspec.GridSpec(cv_num, mv_num)
    plot_num = 0
    for cv in cv_list:
        for mv in mv_list:
            plt.subplot(grid[plot_num])
            response = stp[cv][mv]
            plt.plot(response)
            plt.title(cv + "-" + mv, fontsize=11)
            plt.grid(True)
            size = 0 if len(response) == 0 else 15
            plt.xticks(fontsize=size)
            plt.yticks(fontsize=size)
            plot_num += 1
    plt.show()
