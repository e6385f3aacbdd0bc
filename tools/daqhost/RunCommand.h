#pragma once
namespace CLI {
class App;
}
void add_run_command(CLI::App& app, int& status);
