#pragma once
namespace CLI {
class App;
}
void add_control_commands(CLI::App& app, int& status);
