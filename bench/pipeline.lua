-- wrk: 16 requests in every write, pipelined, as a proxy that batches would send them.
init = function(args)
  local requests = {}
  for i = 1, 16 do
    requests[i] = wrk.format(nil, wrk.path)
  end
  batch = table.concat(requests)
end

request = function()
  return batch
end
