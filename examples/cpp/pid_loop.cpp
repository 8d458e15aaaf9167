// Two PID loops on a 2 x 2 plant read from a JSON model dictionary: the
// reactor temperature TI101 by the coolant valve FV101 and the product
// concentration AI201 by the feed valve FV201. Both loops start in manual
// at the plant's operating point, switch to automatic at sample 10 without a
// bump, and follow setpoint changes of TI101 at sample 20 and of AI201 at
// sample 120; the table shows every tenth sample and the integral of the
// absolute error of each loop.
//
//     pid_loop [model.json]
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>

#include <qxdcs/model_json.hpp>
#include <qxdcs/pid.hpp>
#include <qxdcs/process_sim.hpp>

int main(int argc, char **argv) {
    const std::string path = argc > 1 ? argv[1] : PLANT_JSON;
    try {
        const qxdcs::ModelDict model = qxdcs::read_model_json(path);
        const qxdcs::TagValues ini = {{"TI101", 85.0}, {"AI201", 40.0},
                                      {"FV101", 50.0}, {"FV201", 45.0}};
        qxdcs::MimoSim plant(model, ini, 1.0);

        // Loop 1: TI101 <- FV101 (a negative gain: reverse acting, KP < 0).
        qxdcs::Pid temp(1.0);
        temp.set_params(-1.2, 20.0, 0.0, 10.0);
        temp.set_limits(100.0, 0.0);
        // Loop 2: AI201 <- FV201.
        qxdcs::Pid conc(1.0);
        conc.set_params(3.0, 15.0, 2.0, 10.0);
        conc.set_limits(100.0, 0.0);

        const std::size_t ti = *plant.cv_index("TI101"), ai = *plant.cv_index("AI201");
        const std::size_t fv1 = *plant.mv_index("FV101"), fv2 = *plant.mv_index("FV201");
        double op1 = 50.0, op2 = 45.0, iae1 = 0.0, iae2 = 0.0;
        std::printf("%6s %8s %8s %8s %8s %8s %8s\n", "sample", "SP TI101", "TI101", "FV101",
                    "SP AI201", "AI201", "FV201");
        for (int k = 0; k <= 240; ++k) {
            const std::vector<double> &cv = plant.step();
            const double sp1 = k < 20 ? 85.0 : 82.0, sp2 = k < 120 ? 40.0 : 41.5;
            const double mode = k < 10 ? 0.0 : 1.0;
            op1 = temp.run(mode, sp1, cv[ti], op1, 0.0);
            op2 = conc.run(mode, sp2, cv[ai], op2, 0.0);
            plant.set_mv(fv1, op1);
            plant.set_mv(fv2, op2);
            iae1 += std::fabs(sp1 - cv[ti]);
            iae2 += std::fabs(sp2 - cv[ai]);
            if (k % 10 == 0)
                std::printf("%6d %8.2f %8.3f %8.3f %8.2f %8.3f %8.3f\n", k, sp1, cv[ti], op1,
                            sp2, cv[ai], op2);
        }
        std::printf("IAE TI101 %.3f  AI201 %.3f\n", iae1, iae2);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "pid_loop: %s\n", e.what());
        return 1;
    }
}
