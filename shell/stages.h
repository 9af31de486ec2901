// The five stages of the launch sequence. Each returns false with `failure` filled when it ends the
// sequence; the sequence then writes the failure's line, shows its box and closes the panel.
#pragma once

#include "shell/sequence.h"

// Resolves the launcher directory, names launcher.log in it and writes the run's first lines; fails
// when no candidate was writable.
bool run_start_stage(launch_context& launch, stage_failure& failure);
// Fingerprint, its publication in the environment, and the ban check; only "not banned" goes on.
bool run_device_check_stage(launch_context& launch, stage_failure& failure);
// The built-in Java 17, provisioned when missing; sets launch.java_home.
bool run_java17_stage(launch_context& launch, stage_failure& failure);
// Downloads the launcher jar and replaces the local copy when it changed; sets launch.jar_path.
bool run_launcher_update_stage(launch_context& launch, stage_failure& failure);
// Never fails the sequence: shows its own box when no client started.
void run_client_start_stage(launch_context& launch);
