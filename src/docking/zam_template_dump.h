// The hydrogen templates (structure/zam_template_data.h) measured on the
// current docking molecule and written back out as a template file.
#pragma once

// Writes every template to "template.dmp" in the working folder, after the
// message "Writing hydrogen template file: template.dmp": the offset and
// distance as measured in the first residue of the template's name whose
// hydrogen, parent and reference atoms the molecule all holds, else as
// stored. The lines are in the template file's own form (a parent with a
// leading blank written with a leading 'x'), so the file reads back as a
// template file. The file is written whole. Returns the number of templates
// measured; -1 after an error naming the file when it cannot be written.
int zam_dump_template();
