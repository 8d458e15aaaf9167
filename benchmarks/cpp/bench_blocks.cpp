// Nanoseconds per step of the library's blocks and simulators, with a no-op
// native call as the floor. The models are those of the Python benchmarks
// (benchmarks/bench_process_sim.py): square models of K / ((T1 s + 1)(T2 s + 1))
// with 0 to 6 samples of dead time, drawn here from a seeded generator.
#include <memory>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include <qxdcs/filter.hpp>
#include <qxdcs/lpv_plant.hpp>
#include <qxdcs/pid.hpp>
#include <qxdcs/process_sim.hpp>
#include <qxdcs/soft_sensor.hpp>

namespace {

// The floor: a call the compiler cannot remove or inline.
__attribute__((noinline)) double noop(double x) {
    benchmark::ClobberMemory();
    return x;
}

void Floor(benchmark::State &state) {
    double x = 1.0;
    for (auto _ : state)
        benchmark::DoNotOptimize(x = noop(x));
}
BENCHMARK(Floor);

void Pid(benchmark::State &state) {
    qxdcs::Pid pid(1.0);
    pid.set_params(2.0, 30.0, 5.0, 10.0);
    pid.run(0, 50.0, 40.0, 30.0, 0.0);
    double pv = 40.0;
    for (auto _ : state) {
        pv = pv < 60.0 ? pv + 0.01 : 40.0;
        benchmark::DoNotOptimize(pid.run(1.0, 50.0, pv, 30.0, 0.0));
    }
}
BENCHMARK(Pid);

void ZFilterSecondOrder(benchmark::State &state) {
    qxdcs::ZFilter f({0.0, 0.0475, 0.0451}, {1.0, -1.8, 0.8187}, 0.0, 0.0);
    double u = 0.0;
    for (auto _ : state) {
        u = u < 10.0 ? u + 0.5 : 0.0;
        benchmark::DoNotOptimize(f(u));
    }
}
BENCHMARK(ZFilterSecondOrder);

qxdcs::ModelDict square_model(int n, unsigned seed, double gain = 1.0) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> T(2.0, 30.0), K(-2.0, 2.0);
    std::uniform_int_distribution<int> D(0, 6);
    qxdcs::ModelDict m;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double t1 = T(gen), t2 = T(gen);
            m.add("CV" + std::to_string(i + 1), "MV" + std::to_string(j + 1),
                  qxdcs::ModelSpec::tf_s({gain * K(gen)}, {t1 * t2, t1 + t2, 1.0}, D(gen)));
        }
    return m;
}

void MimoSim(benchmark::State &state) {
    const int n = int(state.range(0));
    qxdcs::MimoSim sim(square_model(n, 1), {}, 1.0);
    std::size_t entries = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            entries += sim.element(i, j)->native_filter()->zi().size();
    double u = 0.0;
    for (auto _ : state) {
        u = u < 3.0 ? u + 0.01 : -3.0;
        for (int j = 0; j < n; ++j)
            sim.set_mv(j, u);
        benchmark::DoNotOptimize(sim.step().data());
    }
    state.counters["pairs"] = double(n * n);
    state.counters["state_entries"] = double(entries);
    state.counters["ns_per_pair"] = benchmark::Counter(
        double(n * n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(MimoSim)->Arg(5)->Arg(20)->Arg(40);

void LpvPlantOfThree(benchmark::State &state) {
    qxdcs::LpvPlant lpv;
    lpv.add_plant(1, 20.0, square_model(20, 1, 0.7));
    lpv.add_plant(2, 60.0, square_model(20, 1, 1.0));
    lpv.add_plant(3, 100.0, square_model(20, 1, 1.4));
    double w = 0.0, u = 0.0;
    for (auto _ : state) {
        w = w < 120.0 ? w + 0.37 : 0.0;
        u = u < 3.0 ? u + 0.01 : -3.0;
        for (std::size_t j = 0; j < lpv.n_mv(); ++j)
            lpv.set_mv(j, u);
        benchmark::DoNotOptimize(lpv.step(w).data());
    }
}
BENCHMARK(LpvPlantOfThree);

// One run() with the default history (28800 predictions): storing a
// prediction and the automatic trigger; a new laboratory value every 200
// calls, updating the bias from deep in the history.
void SoftSensorBiasUpdate(benchmark::State &state) {
    qxdcs::SoftSensorBiasUpdate s("AI301");
    s.sink = nullptr;
    double t = 1.7e9, lab = 2.0, lab_time = t - 3600.0;
    long k = 0;
    for (auto _ : state) {
        t += 1.0;
        if (++k % 200 == 0) {
            lab += 0.01;
            lab_time = t - 3600.0;
        }
        benchmark::DoNotOptimize(s.run(2.0 + 1e-6 * double(k % 1000), lab, lab_time, t));
    }
}
BENCHMARK(SoftSensorBiasUpdate);

} // namespace

BENCHMARK_MAIN();
