// The SPF rotational match of two structure objects on their descriptor
// coefficients of one potential class, and the grouping of its solutions
// into clusters of nearby superpositions of the target.
#pragma once

struct _trel_thing;
struct _docking_spec;
struct _docking;

// Matches target onto query with the tau and sig arrays of pot_class (read
// from their files when not yet held) into docking under the run's docking
// specification, showing n_show solutions (the run's s_max). Returns 1 when the match ran; 0, with docking emptied and
// a warning naming the object, when an array of the class is missing.
int trel_matchThing(_trel_thing* query, _trel_thing* target, int pot_class, _docking_spec* spec, int n_show,
                    _docking* docking);
// Groups the docking's solutions (in rank order): each solution not yet in a
// cluster opens one and takes every later unclustered solution among the
// next 199 whose moved C-alpha atoms lie within an RMS distance below
// threshold. Sets n_clusters, each solution's cluster number (cluster
// array) and each cluster's leader (index array). Nothing happens for one
// solution or none, or (with a warning) for a target of fewer than 4 C-alpha
// atoms. flag is not used.
void trel_clusterThing(_trel_thing* target, int flag, _docking* docking, float threshold);
