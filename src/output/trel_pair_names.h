// The names of one aligned pair's result files, as their writers make them
// and as the files that name each other (alignment headers, viewer command
// files) quote them: target name + "_" + query name + target suffix + kind
// and extension for the pair's files, query name + query suffix + ".pdb" for
// the query's superposed PDB file. A name too long for the file system is
// shortened as zam_fileName does it, the same way in every writer.
#pragma once

#include <string>

#include "runtime/zam_directory.h"

struct _trel_pair_names {
  std::string target, query, query_suffix, target_suffix;
  // The superposed query and target PDB files that the pair's files name
  // (no folder), and those that the files of the masked pass name. Empty:
  // the run writes no such file, and the files leave the name out.
  std::string query_out, target_out, query_mask_out, target_mask_out;

  // The pair's file whose name ends in tail after the target suffix.
  std::string file(const std::string& tail) const {
    return zam_fileName({target, query}, target_suffix + tail);
  }
  // The query's file whose name ends in tail after the query suffix.
  std::string queryFile(const std::string& tail) const { return zam_fileName({query}, query_suffix + tail); }
  // The names of the masked pass: both suffixes + "_mask", and its PDB files
  // as the superposed ones.
  _trel_pair_names masked() const {
    return {target, query, query_suffix + "_mask", target_suffix + "_mask", query_mask_out, target_mask_out, "", ""};
  }
};

// The names of the pair of query and target (a null name or suffix is
// empty), naming the superposed PDB files by the suffixes: query name +
// query suffix and the pair's name, each + ".pdb", or + "_mask.pdb" in the
// masked pass.
inline _trel_pair_names trel_pairNames(const char* query, const char* target, const char* query_suffix,
                                       const char* target_suffix) {
  const auto text = [](const char* s) { return s ? s : ""; };
  _trel_pair_names names{text(target), text(query), text(query_suffix), text(target_suffix), {}, {}, {}, {}};
  names.query_out = names.queryFile(".pdb");
  names.target_out = names.file(".pdb");
  names.query_mask_out = names.queryFile("_mask.pdb");
  names.target_mask_out = names.file("_mask.pdb");
  return names;
}

// A superposed PDB file's name as the pair's headers print it: "-" when the
// run writes none.
inline const char* trel_outText(const std::string& name) { return name.empty() ? "-" : name.c_str(); }
