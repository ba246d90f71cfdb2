" Corvel assembly text, as CorvelAssembler reads and writes it.
autocmd BufRead,BufNewFile *.cas setfiletype cas
